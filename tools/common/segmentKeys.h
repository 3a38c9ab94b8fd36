// What the tools and the Python module say of a segment by its key: the default keys, how a key is shown,
// and why an attach by key failed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "zoravoVAR.h"

namespace trackd_tools {

constexpr int DEFAULT_TRACKER_KEY = ZORAVOVAR_DEFAULT_TRACKER_KEY;
constexpr int DEFAULT_CONTROLLER_KEY = ZORAVOVAR_DEFAULT_CONTROLLER_KEY;

// A key as ipcs shows it, in hex, with the decimal beside: "0x00001ce9 (7401)".
inline std::string keyText(int key) {
    char text[48];
    std::snprintf(text, sizeof text, "0x%08x (%d)", static_cast<unsigned>(key), key);
    return text;
}

inline std::string octalMode(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 0777U);
    return text;
}

// The name of the user `uid`, or "uid N" when it has none.
std::string userName(uid_t uid);

enum class AttachFailure { missing, denied, tooSmall, exhausted };

struct AttachDiagnosis {
    AttachFailure failure;
    std::string reason;  // one line, for a person
};

// Why attaching the `kind` segment under `key` failed, from what the kernel says about the key now and
// `attachError`, the errno the failed attach left (0 when unknown).
AttachDiagnosis diagnoseAttach(const char* kind, int key, std::size_t minimum, int attachError = 0);

}  // namespace trackd_tools
