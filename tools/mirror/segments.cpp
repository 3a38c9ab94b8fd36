// The segments on this host: trackd's, which publish reads, and the node's copies, which subscribe writes.
#include "segments.h"

#include <grp.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace trackd_mirror {

using namespace trackd_tools;

namespace {

constexpr int SETTLE_ATTEMPTS = 100;  // reads of a segment before a frame counts as unsettled

bool processRuns(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

std::string segmentDescription(unsigned segment, int key) {
    return std::string(segmentName(segment)) + " segment under key " + keyText(key);
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

bool SourceSegment::lookUp() {
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

const std::vector<unsigned char>* SourceSegment::poll(bool heartbeatDue, long long& unsettled) {
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

std::string SourceSegment::state() const {
    return std::string(segmentName(segment_)) + (attached() ? " " + std::to_string(attached_.size) + " B" : " waiting");
}

std::string SourceSegment::describe() const { return segmentDescription(segment_, key_); }

// The segment is looked at again at the next look-up, as its permissions may be mended meanwhile; the
// notice is said once. True when it is new.
bool SourceSegment::tell(const std::string& notice) {
    attached_.id = -1;
    if (notice == notice_) return false;
    say(notice);
    notice_ = notice;
    return true;
}

void SourceSegment::copy(std::vector<unsigned char>& into) const {
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
        const std::string why = notAdoptable(info, size);
        if (why.empty()) {
            if (!attach(existing)) return false;
            // Only what the kernel keeps is known: its maker's pid, which no longer runs, and its user.
            say("adopted the " + describe() + " (id " + std::to_string(existing) + ") that " +
                (info.shm_cpid == getpid() ? std::string("this subscriber made earlier")
                                           : "process " + std::to_string(info.shm_cpid) +
                                                 " of this user made and left; that process no longer runs"));
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
    const int id = shmget(key_, size, IPC_CREAT | IPC_EXCL | (mode_ & 0700));
    if (id < 0) {
        refuse("cannot make the " + describe() + ": " + std::strerror(errno));
        return -1;
    }
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) == 0) {
        info.shm_perm.gid = group_.id;
        info.shm_perm.mode = static_cast<unsigned short>(mode_);
        if (shmctl(id, IPC_SET, &info) == 0) return id;
    }
    refuse("cannot give the " + describe() + " group " + groupText(group_.id) + " and mode " +
           octalMode(static_cast<unsigned>(mode_)) + ": " + std::strerror(errno));
    shmctl(id, IPC_RMID, nullptr);
    return -1;
}

// It must be this user's own, made by this user, with --mode's permissions and the group segments are
// made with, and attached by nobody, so that whoever else could write into it before cannot write into it
// now; and it must have the size of the frame.
std::string LocalSegment::notAdoptable(const shmid_ds& info, std::uint32_t size) const {
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
    // Its permissions now keep out whoever would attach from now on, but not whoever attached while other
    // permissions held (before an administrator mended them in place, say) and is attached still. The
    // kernel keeps no creation time to tell the change of mode that made a segment from a later one
    // (shm_ctime is the newest of them), nor who attached when; so any attachment left is unaccounted
    // for, and the segment is adopted only with none. An earlier subscriber's applications, still
    // attached, count too: the segment is then made anew, and the message says they see the old one frozen.
    if (info.shm_nattch > 0)
        return "with " + std::to_string(info.shm_nattch) + (info.shm_nattch == 1 ? " attachment" : " attachments") +
               " this subscriber cannot account for (whoever attached it while other permissions held may write "
               "into it still)";
    return {};
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
