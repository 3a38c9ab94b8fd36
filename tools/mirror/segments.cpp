// The segments on this host: trackd's, which publish reads, and the node's copies, which subscribe writes.
#include "segments.h"

#include "segmentMaking.h"

#include <dirent.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace trackd_mirror {

using namespace trackd_tools;

namespace {

constexpr int SETTLE_ATTEMPTS = 100;  // reads of a segment before a frame counts as unsettled

bool processRuns(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

std::string segmentDescription(unsigned segment, int key) {
    return std::string(segmentName(segment)) + " segment under key " + keyText(key);
}

std::string counted(unsigned long count, const std::string& thing, const std::string& things = {}) {
    return std::to_string(count) + " " + (count == 1 ? thing : things.empty() ? thing + "s" : things);
}

// ---------------------------------------------------------------------------------------------------
// who is attached to a segment, as /proc shows it

constexpr long MAX_PROCESSES = 4194304;             // the kernel's highest pid_max
constexpr long MAX_MAPS_BYTES = 64L * 1024 * 1024;  // far beyond any process's 65530 default mappings
constexpr long MAX_STATUS_BYTES = 1024L * 1024;     // room for 65536 supplementary groups
constexpr int CAP_IPC_OWNER_BIT = 15;
constexpr int ACCOUNTING_ATTEMPTS = 3;  // scans while the attachments keep changing under them

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// What a scan of /proc found of one segment's attachments in this IPC namespace.
struct Accounting {
    unsigned long writable = 0;
    unsigned long readOnly = 0;
    unsigned long keptOut = 0;  // writable mappings of processes the current permissions would not let attach so
    pid_t keptOutPid = 0;
    uid_t keptOutUid = 0;
    std::string hidden;        // why a process that could write into it may hold mappings unseen
    unsigned long unseen = 0;  // processes not looked into that the current permissions would admit anyway
    std::string firstUnseen;
};

bool gone(int error) { return error == ENOENT || error == ESRCH; }

bool sameNamespace(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::uint64_t number(std::string_view text, int base) {
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : base;
        if (digit >= base || value > (UINT64_MAX - static_cast<unsigned>(digit)) / static_cast<unsigned>(base))
            return UINT64_MAX;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    return text.empty() ? UINT64_MAX : value;
}

std::string_view field(std::string_view& line) {
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return line = {};
    line.remove_prefix(start);
    const auto end = std::min(line.find_first_of(" \t"), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
}

// One line of /proc/PID/maps: "start-end perms offset dev inode path". A SysV segment's path is
// /SYSV and its key in 8 hex digits (with " (deleted)" after it, as it has no name), its inode its id.
// 1 for a writable mapping of the segment, 2 for a read-only one, 0 for any other line.
int mapping(std::string_view line, int id, std::string_view name) {
    field(line);
    const std::string_view perms = field(line);
    field(line);
    field(line);
    if (number(field(line), 10) != static_cast<std::uint64_t>(id) || perms.size() < 2) return 0;
    const std::string_view path = field(line);
    if (path != name) return 0;
    return perms[1] == 'w' ? 1 : 2;
}

// Counts the process's mappings of the segment, a line at a time; false with `hidden` set when they
// cannot be read whole (`denied` when the kernel does not let this process look), and when it is gone
// with nothing counted.
bool countMappings(const std::string& process, int id, std::string_view name, unsigned long& writable,
                   unsigned long& readOnly, std::string& hidden, bool& denied) {
    const File maps(std::fopen((process + "/maps").c_str(), "re"));
    if (!maps) {
        denied = errno == EACCES || errno == EPERM;
        if (!gone(errno)) hidden = process + "/maps: " + std::strerror(errno);
        return false;
    }
    std::array<char, 256> buffer{};  // longer lines name longer paths than a segment's, and are skipped
    long bytes = 0;
    bool lineStart = true;
    while (std::fgets(buffer.data(), buffer.size(), maps.get()) != nullptr) {
        const std::string_view chunk(buffer.data());
        bytes += static_cast<long>(chunk.size());
        if (bytes > MAX_MAPS_BYTES) {
            hidden = process + "/maps is longer than 64 MiB";
            return false;
        }
        const bool whole = !chunk.empty() && chunk.back() == '\n';
        if (lineStart && whole) {
            const int kind = mapping(chunk.substr(0, chunk.size() - 1), id, name);
            if (kind == 1) ++writable;
            if (kind == 2) ++readOnly;
        }
        lineStart = whole;
    }
    if (std::ferror(maps.get()) != 0) {
        if (!gone(errno)) hidden = process + "/maps: " + std::strerror(errno);
        return false;
    }
    return true;
}

// Whether the process, as its credentials are now, could attach the segment read-write: the check
// the kernel makes at shmat (effective uid against owner and creator, filesystem gid and supplementary
// groups against group and creator's group, or CAP_IPC_OWNER in the namespace's user namespace, taken
// for granted for uid 0 where the process's user namespace cannot be compared).
enum class Writer { ADMITTED, KEPT_OUT, GONE, HIDDEN };
Writer mayWrite(const std::string& process, const ipc_perm& perm, bool sameUserNamespace, uid_t& uid) {
    const File status(std::fopen((process + "/status").c_str(), "re"));
    if (!status) return gone(errno) ? Writer::GONE : Writer::HIDDEN;
    std::string text;
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), status.get())) > 0) {
        if (text.size() + got > static_cast<std::size_t>(MAX_STATUS_BYTES)) return Writer::HIDDEN;
        text.append(buffer.data(), got);
    }
    std::uint64_t euid = UINT64_MAX;
    std::uint64_t fsgid = UINT64_MAX;
    std::uint64_t capabilities = 0;
    std::vector<std::uint64_t> groups;
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const std::string_view name = field(line);
        if (name == "Uid:") {
            field(line);
            euid = number(field(line), 10);
        } else if (name == "Gid:") {
            field(line);
            field(line);
            field(line);
            fsgid = number(field(line), 10);
        } else if (name == "Groups:") {
            for (std::string_view group = field(line); !group.empty(); group = field(line))
                groups.push_back(number(group, 10));
        } else if (name == "CapEff:") {
            capabilities = number(field(line), 16);
        }
    }
    uid = static_cast<uid_t>(euid);
    if (euid == UINT64_MAX || fsgid == UINT64_MAX) return text.empty() ? Writer::GONE : Writer::HIDDEN;
    if ((sameUserNamespace || euid == 0) && capabilities != UINT64_MAX &&
        ((capabilities >> CAP_IPC_OWNER_BIT) & 1U) != 0)
        return Writer::ADMITTED;
    const auto inGroup = [&](gid_t group) {
        return fsgid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
    };
    unsigned granted = perm.mode;
    if (euid == perm.uid || euid == perm.cuid)
        granted >>= 6;
    else if (inGroup(perm.gid) || inGroup(perm.cgid))
        granted >>= 3;
    return (granted & 02U) != 0 ? Writer::ADMITTED : Writer::KEPT_OUT;
}

// Every mapping of the segment in the processes /proc shows in this IPC namespace. A process that ends
// meanwhile takes its mappings with it. One that the kernel does not let this process look into
// (another user's, for a subscriber that is not root) is harmless when its credentials, which anyone
// may read, would let it attach the segment read-write now: it is counted in `unseen`; any other ends
// the scan.
Accounting account(int id, int key, const ipc_perm& perm) {
    Accounting found;
    const auto unseen = [&](const std::string& process, const std::string& why) {
        uid_t uid = 0;
        const Writer writer = mayWrite(process, perm, false, uid);
        if (writer == Writer::GONE) return true;
        if (writer == Writer::ADMITTED) {
            if (found.unseen++ == 0) found.firstUnseen = why;
            return true;
        }
        found.hidden = why + (writer == Writer::KEPT_OUT
                                  ? ", and its uid " + std::to_string(uid) + " could not attach it read-write now"
                                  : ", nor its status");
        return false;
    };
    struct stat ipcNamespace {};
    struct stat userNamespace {};
    if (stat("/proc/self/ns/ipc", &ipcNamespace) != 0 || stat("/proc/self/ns/user", &userNamespace) != 0) {
        found.hidden = std::string("/proc/self/ns: ") + std::strerror(errno);
        return found;
    }
    std::array<char, 24> nameBuffer{};
    std::snprintf(nameBuffer.data(), nameBuffer.size(), "/SYSV%08x", static_cast<unsigned>(key));
    const std::string_view name(nameBuffer.data());
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) {
        found.hidden = std::string("/proc: ") + std::strerror(errno);
        return found;
    }
    long processes = 0;
    while (const dirent* entry = readdir(proc.get())) {
        const std::uint64_t pid = number(entry->d_name, 10);
        if (pid == UINT64_MAX || pid == 0) continue;
        if (++processes > MAX_PROCESSES) {
            found.hidden = "/proc lists more processes than the kernel allows";
            return found;
        }
        const std::string process = "/proc/" + std::string(entry->d_name);
        struct stat itsNamespace {};
        if (stat((process + "/ns/ipc").c_str(), &itsNamespace) != 0) {
            if (gone(errno)) continue;
            const std::string why = process + "/ns/ipc: " + std::strerror(errno);
            if ((errno == EACCES || errno == EPERM) && unseen(process, why)) continue;
            found.hidden = found.hidden.empty() ? why : found.hidden;
            return found;
        }
        if (!sameNamespace(itsNamespace, ipcNamespace)) continue;  // ids there name other segments
        unsigned long writable = 0;
        unsigned long readOnly = 0;
        bool denied = false;
        std::string why;
        if (!countMappings(process, id, name, writable, readOnly, why, denied)) {
            if (why.empty() || (denied && unseen(process, why))) continue;
            if (found.hidden.empty()) found.hidden = why;
            return found;
        }
        if (writable > 0) {
            struct stat itsUsers {};
            const bool sameUsers =
                stat((process + "/ns/user").c_str(), &itsUsers) == 0 && sameNamespace(itsUsers, userNamespace);
            uid_t uid = 0;
            const Writer writer = mayWrite(process, perm, sameUsers, uid);
            if (writer == Writer::GONE) continue;
            if (writer == Writer::HIDDEN) {
                found.hidden = process + "/status: unreadable";
                return found;
            }
            if (writer == Writer::KEPT_OUT) {
                if (found.keptOut == 0) {
                    found.keptOutPid = static_cast<pid_t>(pid);
                    found.keptOutUid = uid;
                }
                found.keptOut += writable;
            }
        }
        found.writable += writable;
        found.readOnly += readOnly;
    }
    return found;
}

bool samePermissions(const ipc_perm& a, const ipc_perm& b) {
    return a.uid == b.uid && a.gid == b.gid && a.cuid == b.cuid && a.cgid == b.cgid &&
           (a.mode & 0777U) == (b.mode & 0777U);
}

}  // namespace

std::string groupText(gid_t group) {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->gr_name;
    return std::to_string(group);
}

void Attachment::detach() {
    if (base != nullptr) shmdt(base);
    base = nullptr;
    id = -1;
    size = 0;
}

// ---------------------------------------------------------------------------------------------------
// trackd's segments

bool SegmentFollower::lookUp() {
    const int id = shmget(key_, 0, 0);
    if (id >= 0 && id == attached_.id) return false;
    if (id < 0) {
        if (attached_.base != nullptr)
            say(describe() + " is gone; waiting for it to come back");
        else if (notice_.empty())
            say("waiting for the " + describe() + (errno == ENOENT ? "" : std::string(": ") + std::strerror(errno)));
        const bool wasAttached = attached_.base != nullptr;
        attached_.detach();
        notice_ = "waiting";
        return wasAttached;
    }
    attached_.detach();
    attached_.id = id;
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0) {
        const int error = errno;
        return tell("cannot read the " + describe() + ": " + std::strerror(error) +
                    (error == EACCES ? " (ipcs -m shows its owner and mode: run the publisher as that user, or in "
                                       "the segment's group with mode 0640 or 0660)"
                                     : ""));
    }
    if (info.shm_segsz < minimumSize(segment_) || info.shm_segsz > MAX_SEGMENT_BYTES)
        return tell("the " + describe() + " has " + std::to_string(info.shm_segsz) + " bytes, outside " +
                    std::to_string(minimumSize(segment_)) + " to 256 KiB; waiting for another");
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1))  // NOLINT(performance-no-int-to-ptr): shmat's failure value
        return tell("cannot attach the " + describe() + ": " + std::strerror(errno));
    attached_.base = static_cast<unsigned char*>(address);
    attached_.size = static_cast<std::uint32_t>(info.shm_segsz);
    published_.clear();
    say("mirroring the " + describe() + " (id " + std::to_string(id) + ", " + std::to_string(attached_.size) +
        " bytes)");
    if ((info.shm_perm.mode & WORLD_WRITE_BIT) != 0)
        say("warning: the " + describe() + " has mode " + octalMode(info.shm_perm.mode) + ": " + WORLD_WRITABLE_RISK +
            ", and every render node shows what they write");
    notice_.clear();
    return true;
}

const std::vector<unsigned char>* SegmentFollower::poll(bool heartbeatDue, long long& unsettled) {
    copy(candidate_);
    if (!heartbeatDue && candidate_ == published_) return nullptr;
    for (int attempt = 0; attempt < SETTLE_ATTEMPTS; ++attempt) {
        copy(confirmation_);
        if (confirmation_ == candidate_) {
            published_.swap(candidate_);
            return &published_;
        }
        candidate_.swap(confirmation_);
    }
    ++unsettled;
    return nullptr;
}

std::string SegmentFollower::state() const {
    return std::string(segmentName(segment_)) + (attached() ? " " + std::to_string(attached_.size) + " B" : " waiting");
}

std::string SegmentFollower::describe() const { return segmentDescription(segment_, key_); }

// The segment is looked at again at the next look-up, as its permissions may be mended meanwhile; the
// notice is said once. True when it is new.
bool SegmentFollower::tell(const std::string& notice) {
    attached_.id = -1;
    if (notice == notice_) return false;
    say(notice);
    notice_ = notice;
    return true;
}

void SegmentFollower::copy(std::vector<unsigned char>& into) const {
    into.resize(attached_.size);
    std::uint32_t at = 0;
    for (; at + 4 <= attached_.size; at += 4) {
        const std::uint32_t word = trackd_layout::loadWord(attached_.base, at);
        std::memcpy(into.data() + at, &word, 4);
    }
    for (; at < attached_.size; ++at) into[at] = __atomic_load_n(attached_.base + at, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------------------------------
// the node's segments

bool LocalSegment::prepare(std::uint32_t size) {
    if (attached_.base != nullptr && size == attached_.size) return true;
    const auto now = Clock::now();
    if (attached_.base == nullptr && blocked_ && now - lastTry_ < BLOCKED_RETRY) return false;
    lastTry_ = now;
    if (attached_.base != nullptr) {
        say("the source's " + std::string(segmentName(segment_)) + " segment changed size from " +
            std::to_string(attached_.size) + " to " + std::to_string(size) +
            " bytes: making it anew (readers attached to the old one see it frozen)");
        shmctl(attached_.id, IPC_RMID, nullptr);
        attached_.detach();
    }
    blocked_ = !takeKey(size);
    return !blocked_;
}

void LocalSegment::write(const unsigned char* bytes) {
    const std::uint32_t header = headerBytes(segment_);
    store(bytes, header, attached_.size);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    store(bytes, 0, header);
}

void LocalSegment::check() {
    if (attached_.base == nullptr) return;
    shmid_ds info{};
    if (shmget(key_, 0, 0) == attached_.id && shmctl(attached_.id, IPC_STAT, &info) == 0 &&
        (info.shm_perm.mode & SHM_DEST) == 0)
        return;
    say("the " + describe() + " was removed or replaced by someone else; making it anew with the next frame");
    attached_.detach();
}

void LocalSegment::finish(bool remove) {
    if (remove && attached_.base != nullptr) shmctl(attached_.id, IPC_RMID, nullptr);
    attached_.detach();
}

std::string LocalSegment::state() const {
    return std::string(segmentName(segment_)) + (attached_.base != nullptr ? " " + std::to_string(attached_.size) + " B"
                                                 : blocked_                ? " blocked"
                                                                           : " waiting");
}

std::string LocalSegment::describe() const { return segmentDescription(segment_, key_); }

bool LocalSegment::takeKey(std::uint32_t size) {
    const int existing = shmget(key_, 0, 0);
    if (existing >= 0) {
        shmid_ds info{};
        if (shmctl(existing, IPC_STAT, &info) != 0)
            return refuse("cannot read the " + describe() + ": " + std::strerror(errno));
        if (info.shm_cpid != getpid() && processRuns(info.shm_cpid))
            return refuse("the " + describe() + " (id " + std::to_string(existing) + ") belongs to process " +
                          std::to_string(info.shm_cpid) +
                          ", which still runs: a local trackd, simulator or subscriber; not writing into it. "
                          "Stop that process, or mirror into other keys");
        std::string attachments;
        const std::string why = notAdoptable(existing, info, size, attachments);
        if (why.empty()) {
            if (!attach(existing)) return false;
            // Only what the kernel keeps is known: its maker's pid, which no longer runs, and its user.
            say("adopted the " + describe() + " (id " + std::to_string(existing) + ") that " +
                (info.shm_cpid == getpid() ? std::string("this subscriber made earlier")
                                           : "process " + std::to_string(info.shm_cpid) +
                                                 " of this user made and left; that process no longer runs") +
                attachments);
            return true;
        }
        say("removing the " + describe() + " (id " + std::to_string(existing) + ") left behind " + why +
            "; making it anew" +
            (info.shm_nattch > 0 ? " (the processes attached to the old one see it frozen until they attach again: "
                                   "restart the applications on this node)"
                                 : ""));
        if (shmctl(existing, IPC_RMID, nullptr) != 0)
            return refuse("cannot remove the " + describe() + " (id " + std::to_string(existing) + "): " +
                          std::strerror(errno) + "; its owner or root can (ipcrm -m " + std::to_string(existing) + ")");
    }
    const int id = make(size);
    if (id < 0) return false;
    if (!attach(id)) return false;
    say("made the " + describe() + " (id " + std::to_string(id) + ", " + std::to_string(size) + " bytes, mode " +
        octalMode(static_cast<unsigned>(mode_)) + ", group " + groupText(group_.id) + ")");
    return true;
}

// Makes the segment open to its owner alone, then gives it its group and mode, so that no other group
// can attach it in between; -1 after a refusal.
int LocalSegment::make(std::uint32_t size) {
    const MadeSegment made = makeSegment(key_, size, mode_, group_.id);
    if (made.id >= 0) return made.id;
    if (!made.permissionsFailed)
        refuse("cannot make the " + describe() + ": " + std::strerror(made.error));
    else
        refuse("cannot give the " + describe() + " group " + groupText(group_.id) + " and mode " +
               octalMode(static_cast<unsigned>(mode_)) + ": " + std::strerror(made.error));
    return -1;
}

// It must be this user's own, made by this user, with --mode's permissions and the group segments are
// made with, so that whoever else could write into it before cannot write into it now, and every process
// still attached must be one these permissions admit; and it must have the size of the frame. On adoption
// with attachments, `attachments` says what they are.
std::string LocalSegment::notAdoptable(int id, const shmid_ds& info, std::uint32_t size,
                                       std::string& attachments) const {
    const uid_t self = geteuid();
    if (info.shm_perm.cuid != self || info.shm_perm.uid != self)
        return "by another user (made by uid " + std::to_string(info.shm_perm.cuid) + ", owned by uid " +
               std::to_string(info.shm_perm.uid) + "; this subscriber runs as uid " + std::to_string(self) + ")";
    const unsigned mode = info.shm_perm.mode & 0777U;
    if (mode != static_cast<unsigned>(mode_))
        return "with mode " + octalMode(mode) + ", not --mode " + octalMode(static_cast<unsigned>(mode_));
    if (info.shm_perm.gid != group_.id)
        return "with group " + groupText(info.shm_perm.gid) + ", not " +
               (group_.given ? "--group " : "the subscriber's own group ") + groupText(group_.id);
    if (info.shm_segsz != size)
        return "with " + std::to_string(info.shm_segsz) + " bytes, not the " + std::to_string(size) + " of the source";
    if (info.shm_nattch == 0) return {};
    // Its permissions now keep out whoever would attach from now on, but not whoever attached while other
    // permissions held (before an administrator mended them in place, say) and is attached still: the
    // kernel keeps no record of who attached when. So every attachment must be found in /proc, each
    // being one mapping (a fork's copy and a split mapping each count in shm_nattch too), and each
    // writable one must be of a process the current permissions would let attach it read-write;
    // read-only ones write nothing. A process this one may not look into must be one the current
    // permissions admit, and then it must hold none, as its mappings cannot be counted.
    // A process may attach between the scan and the adoption: it does so under the current permissions,
    // which the kernel checks then, so it is admitted as well (the permissions must stay as they were
    // through the scan); the scan is repeated while shm_nattch changes under it. What the scan cannot
    // tell is an attachment hidden from /proc (in another PID namespace) whose count is made up by
    // admitted processes attaching and detaching in step during the scan.
    shmatt_t attachedBefore = info.shm_nattch;
    for (int attempt = 0; attempt < ACCOUNTING_ATTEMPTS; ++attempt) {
        const Accounting found = account(id, key_, info.shm_perm);
        const std::string attached = counted(attachedBefore, "attachment");
        const std::string unknown = "with " + attached + " this subscriber cannot account for: ";
        if (found.keptOut > 0)
            return unknown +
                   (found.keptOut == 1 ? std::string("a writable one") : counted(found.keptOut, "writable one")) +
                   " of process " + std::to_string(found.keptOutPid) + (found.keptOut == 1 ? "" : " and others") +
                   " (uid " + std::to_string(found.keptOutUid) +
                   "), which the current permissions would not let attach it so: it attached while other "
                   "permissions held, and may write into it still";
        if (!found.hidden.empty())
            return unknown + "it cannot see which processes are attached (" + found.hidden +
                   "); run it as root to let it look, or stop the applications before restarting it";
        shmid_ds after{};
        if (shmctl(id, IPC_STAT, &after) != 0) return unknown + "it is gone (" + std::strerror(errno) + ")";
        if (!samePermissions(after.shm_perm, info.shm_perm)) return unknown + "its permissions changed while it looked";
        if (after.shm_nattch != attachedBefore) {
            attachedBefore = after.shm_nattch;
            if (attachedBefore == 0) return {};
            continue;
        }
        const unsigned long mappings = found.writable + found.readOnly;
        if (mappings < attachedBefore)
            return unknown + "it cannot see which processes hold " + std::to_string(attachedBefore - mappings) +
                   " of them (" +
                   (found.unseen == 0
                        ? std::string("processes hidden from it in /proc, by ProtectProc= or hidepid=, "
                                      "or in another PID namespace")
                        : found.firstUnseen +
                              (found.unseen > 1
                                   ? ", and " + counted(found.unseen - 1, "other process", "other processes") +
                                         " it may not look into"
                                   : "")) +
                   "); run it as root to let it look, or stop the applications before restarting it";
        if (mappings > attachedBefore)
            return unknown + "the processes /proc shows hold " + counted(mappings, "mapping") +
                   " of it, more than the kernel counts";
        attachments = ", with " + attached + " (" + std::to_string(found.writable) +
                      " writable, of processes the current permissions admit; " + std::to_string(found.readOnly) +
                      " read-only)";
        return {};
    }
    return "with " + counted(attachedBefore, "attachment") +
           " this subscriber cannot account for: they kept changing while it looked";
}

bool LocalSegment::attach(int id) {
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))  // NOLINT(performance-no-int-to-ptr): shmat's failure value
        return refuse("cannot attach the " + describe() + " to write into it: " + std::strerror(errno));
    shmid_ds info{};
    shmctl(id, IPC_STAT, &info);
    attached_.base = static_cast<unsigned char*>(address);
    attached_.id = id;
    attached_.size = static_cast<std::uint32_t>(info.shm_segsz);
    refusal_.clear();
    return true;
}

bool LocalSegment::refuse(const std::string& why) {
    if (why != refusal_) say(why);
    refusal_ = why;
    return false;
}

void LocalSegment::store(const unsigned char* bytes, std::uint32_t from, std::uint32_t to) {
    std::uint32_t at = from;
    for (; at + 4 <= to; at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + at, 4);
        auto* target = reinterpret_cast<std::uint32_t*>(attached_.base + at);
        if (__atomic_load_n(target, __ATOMIC_RELAXED) != word) __atomic_store_n(target, word, __ATOMIC_RELAXED);
    }
    for (; at < to; ++at) __atomic_store_n(attached_.base + at, bytes[at], __ATOMIC_RELAXED);
}

}  // namespace trackd_mirror
