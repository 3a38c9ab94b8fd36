// How the tools make a segment that others attach: open to its owner alone until it has its group and
// mode, so that no process of another group can attach it in between.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace trackd_tools {

struct MadeSegment {
    int id = -1;                     // -1 when it was not made
    bool permissionsFailed = false;  // made, but refused `gid` and `mode`, and so removed again
    int error = 0;                   // the errno of the step that failed: EEXIST when the key is taken
};

// Makes a segment of `size` bytes under `key` that no segment holds yet, owned by this process's user, with
// the group `gid` and the permission bits `mode` (0 to 0777).
MadeSegment makeSegment(int key, std::uint32_t size, int mode, gid_t gid);

}  // namespace trackd_tools
