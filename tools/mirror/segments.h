// The segments on this host: trackd's, which publish reads, and the node's copies, which subscribe makes
// and writes.
#pragma once

#include <sys/shm.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common.h"

namespace trackd_mirror {

constexpr std::chrono::milliseconds BLOCKED_RETRY{1000};  // how often a key another process owns is looked at again

// A segment attached by id; detached on destruction and whenever another replaces it.
struct Attachment {
    Attachment() = default;
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    ~Attachment() { detach(); }
    void detach();

    int id = -1;
    unsigned char* base = nullptr;
    std::uint32_t size = 0;
};

// One of trackd's segments, attached read-only by key and attached again when the key names another.
class SegmentFollower {
public:
    SegmentFollower(unsigned segment, int key) : segment_(segment), key_(key) {}

    // Looks the key up again; attaches what it names now and says what changed. True when the segment
    // attached is another than before.
    bool lookUp();

    bool attached() const { return attached_.base != nullptr; }
    std::uint32_t size() const { return attached_.size; }

    // A copy to publish, or null when nothing changed and no heartbeat is due, or when the segment was
    // being written through SETTLE_ATTEMPTS successive reads (counted in `unsettled`).
    const std::vector<unsigned char>* poll(bool heartbeatDue, long long& unsettled);

    std::string state() const;

private:
    std::string describe() const;
    bool tell(const std::string& notice);
    // Copies every word with one load each, so that no word is torn.
    void copy(std::vector<unsigned char>& into) const;

    unsigned segment_;
    int key_;
    Attachment attached_;
    std::string notice_;
    std::vector<unsigned char> published_, candidate_, confirmation_;
};

// The group of the segments a subscriber makes: --group's, or the subscriber's own.
struct SegmentGroup {
    gid_t id;
    bool given;  // by --group
};

// A group as messages name it: its name, or its number when it has none.
std::string groupText(gid_t group);

// A segment on this host that the subscriber writes into: created by it, or adopted from an exited
// process of this user with these permissions and this group, attached by none but processes these
// permissions admit, but never one that another live process made.
class LocalSegment {
public:
    LocalSegment(unsigned segment, int key, int mode, SegmentGroup group)
        : segment_(segment), key_(key), mode_(mode), group_(group) {}

    // Makes the segment ready for `size` bytes; false while the key belongs to another live process.
    bool prepare(std::uint32_t size);

    // Writes the records first and the header words last, each 32-bit word with one store, so that a
    // reader never sees a torn word and finds the records of any count it sees.
    void write(const unsigned char* bytes);

    // Notices a segment removed under it (ipcrm) or replaced, so that the next frame makes it anew.
    void check();

    void finish(bool remove);

    std::uint32_t size() const { return attached_.size; }  // 0 while there is none
    std::string state() const;

private:
    std::string describe() const;
    bool takeKey(std::uint32_t size);
    // Why a segment left under the key must not be written as it is, or empty when it may be adopted.
    std::string notAdoptable(int id, const shmid_ds& info, std::uint32_t size, std::string& attachments) const;
    bool attach(int id);
    bool refuse(const std::string& why);
    int make(std::uint32_t size);
    void store(const unsigned char* bytes, std::uint32_t from, std::uint32_t to);

    unsigned segment_;
    int key_;
    int mode_;
    SegmentGroup group_;
    Attachment attached_;
    bool blocked_ = false;
    Clock::time_point lastTry_{};
    std::string refusal_;
};

}  // namespace trackd_mirror
