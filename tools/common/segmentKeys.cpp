// Why an attach by key failed, from what the kernel says about the key.
#include "segmentKeys.h"

#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "mirrorStatus.h"

namespace trackd_tools {

std::string userName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? std::string(entry->pw_name) : "uid " + std::to_string(uid);
}

AttachDiagnosis diagnoseAttach(const char* kind, int key, std::size_t minimum, int attachError) {
    const std::string named = std::string(kind) + " key " + keyText(key);
    const std::string segment = "the " + std::string(kind) + " segment for key " + keyText(key);
    // shmget would make a new segment for IPC_PRIVATE: it names none of trackd's.
    if (key == IPC_PRIVATE) return {AttachFailure::missing, "key 0 is IPC_PRIVATE, which names no existing segment"};
    const int id = shmget(key, 0, 0);
    const int lookupError = errno;
    // On a render node the subscriber makes the segments: its status file says what it does.
    const auto subscriber = subscriberStatusFor(key);
    const std::string maker = subscriber ? "trackd-mirror subscribe --group" : "trackd";
    errno = lookupError;
    if (id < 0 && errno == ENOENT)
        return {AttachFailure::missing, "no segment exists for " + named + ": " +
                                            (subscriber ? subscriberHint(*subscriber)
                                                        : "is trackd (or trackd-sim) running, and with this key?")};
    if (id < 0)
        return {AttachFailure::denied,
                segment + " cannot be looked up (" + std::strerror(errno) + "): check its permissions with ipcs -m"};
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0)
        return {AttachFailure::denied, "no permission to read " + segment + " (" + std::strerror(errno) +
                                           "): readers need read and write permission; have " + maker +
                                           " give the segments a group you are in (mode 0660), never mode 0666"};
    if (info.shm_segsz < minimum)
        return {AttachFailure::tooSmall, segment + " has " + std::to_string(info.shm_segsz) +
                                             " bytes, fewer than the " + std::to_string(minimum) + " a " + kind +
                                             " segment needs: is this the right key?"};
    // A process out of address space or of mappings (vm.max_map_count) is refused by shmat with ENOMEM.
    if (attachError == ENOMEM || attachError == EMFILE || attachError == ENFILE)
        return {AttachFailure::exhausted,
                segment + " cannot be attached (" + std::strerror(attachError) +
                    "): this process has no memory or mappings left to map it (see ulimit -v and vm.max_map_count)"};
    return {AttachFailure::denied, "no permission to attach " + segment + " read-write (mode " +
                                       octalMode(info.shm_perm.mode) + ", owner " + userName(info.shm_perm.uid) +
                                       "): readers attach read-write, so they need write permission; have " + maker +
                                       " give the segments a group you are in (mode 0660), never mode 0666"};
}

}  // namespace trackd_tools
