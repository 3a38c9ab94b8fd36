// The one way the tools make a segment that others attach.
#include "segmentMaking.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>

namespace trackd_tools {

MadeSegment makeSegment(int key, std::uint32_t size, int mode, gid_t gid) {
    const int id = shmget(key, size, IPC_CREAT | IPC_EXCL | (mode & 0700));
    if (id < 0) return {-1, false, errno};
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) == 0) {
        info.shm_perm.gid = gid;
        info.shm_perm.mode = static_cast<unsigned short>(mode);
        if (shmctl(id, IPC_SET, &info) == 0) return {id, false, 0};
    }
    const int error = errno;
    shmctl(id, IPC_RMID, nullptr);
    return {-1, true, error};
}

}  // namespace trackd_tools
