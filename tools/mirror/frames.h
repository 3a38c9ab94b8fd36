// What makes a mirrored frame acceptable: its shape, its MAC under the installation's key, and the rules
// by which only the newest frame of one publisher at a time reaches the local segments.
#pragma once

#include <sodium.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "SegmentFrame.h"
#include "printable.h"
#include "trackdLayout.h"

namespace trackd_mirror {

constexpr std::uint32_t MAX_SEGMENT_BYTES = trackd_mirror_MAX_SEGMENT_BYTES;
constexpr std::int64_t MAX_CLOCK_SKEW_NS = 5'000'000'000;  // for authenticated frames only
constexpr std::size_t MAC_BYTES = crypto_auth_BYTES;

enum Segment : std::uint8_t { TRACKER = 0, CONTROLLER = 1, SEGMENT_COUNT = 2 };

inline const char* segmentName(unsigned segment) { return segment == TRACKER ? "tracker" : "controller"; }
inline std::uint32_t minimumSize(unsigned segment) {
    return segment == TRACKER ? trackd_layout::TRACKER_SEGMENT_SIZE : trackd_layout::CONTROLLER_SEGMENT_SIZE;
}
inline std::uint32_t headerBytes(unsigned segment) {
    return segment == TRACKER ? trackd_layout::TRACKER_HEADER_BYTES : trackd_layout::CONTROLLER_HEADER_BYTES;
}

inline std::int64_t wallClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The installation's 32-byte key, from a file that only its owner may read or write, as ssh demands.
class AuthKey {
public:
    // Expects sodium_init() to have succeeded.
    explicit AuthKey(const std::string& givenPath) {
        const std::string path = trackd_tools::printable(givenPath);  // as messages name it
        // Non-blocking, so that a FIFO or a device is refused below instead of waiting in open().
        const int fd = open(givenPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) throw std::runtime_error("cannot open the key file " + path + ": " + std::strerror(errno));
        struct stat info {};
        const bool stated = fstat(fd, &info) == 0;
        const bool regular = stated && S_ISREG(info.st_mode);
        const bool sized = regular && info.st_size == static_cast<off_t>(key_.size());
        const bool read = sized && ::read(fd, key_.data(), key_.size()) == static_cast<ssize_t>(key_.size());
        close(fd);
        if (!regular) throw std::runtime_error("the key file " + path + " is not a regular file");
        if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777U);
            throw std::runtime_error("the key file " + path + " has mode " + mode +
                                     ": others may read it; allow its owner only (chmod 600 " + path + ")");
        }
        if (!read)
            throw std::runtime_error("the key file " + path + " does not hold the " + std::to_string(key_.size()) +
                                     " bytes of a key as trackd-mirror keygen writes it: is it the right file? "
                                     "trackd-mirror keygen --replace " +
                                     path + " writes a new key in its place");
        crypto_generichash(reinterpret_cast<unsigned char*>(&id_), sizeof id_,
                           reinterpret_cast<const unsigned char*>(KEY_ID_CONTEXT), std::strlen(KEY_ID_CONTEXT),
                           key_.data(), key_.size());
        if (id_ == 0) id_ = 1;  // 0 means unsigned
    }
    AuthKey(const AuthKey&) = delete;
    AuthKey& operator=(const AuthKey&) = delete;
    ~AuthKey() { sodium_memzero(key_.data(), key_.size()); }

    // Names the key without revealing it: frames carry it, so that a node tells a frame signed with
    // another key from one altered on the way, and the tools show it, so that hosts can compare keys.
    std::uint64_t id() const { return id_; }

    // The MAC over every field of `frame` but the MAC itself, integers little-endian.
    std::array<unsigned char, MAC_BYTES> mac(const trackd_mirror_SegmentFrame& frame) const {
        crypto_auth_hmacsha512256_state state;
        crypto_auth_hmacsha512256_init(&state, key_.data(), key_.size());
        const std::uint64_t nameLength = std::strlen(frame.name);
        addInteger(state, nameLength);
        crypto_auth_hmacsha512256_update(&state, reinterpret_cast<const unsigned char*>(frame.name), nameLength);
        addInteger(state, frame.segment);
        addInteger(state, frame.epoch);
        addInteger(state, frame.number);
        addInteger(state, static_cast<std::uint64_t>(frame.readTime));
        addInteger(state, frame.size);
        addInteger(state, frame.bytes._length);
        crypto_auth_hmacsha512256_update(&state, frame.bytes._buffer, frame.bytes._length);
        addInteger(state, frame.keyId);
        std::array<unsigned char, MAC_BYTES> out{};
        crypto_auth_hmacsha512256_final(&state, out.data());
        return out;
    }

    bool verify(const trackd_mirror_SegmentFrame& frame) const {
        if (frame.mac._length != MAC_BYTES) return false;
        const auto expected = mac(frame);
        return sodium_memcmp(expected.data(), frame.mac._buffer, MAC_BYTES) == 0;
    }

    // The MAC of an announcement's text in discovery, bound to the GUID of the participant that announces
    // it, so that an announcement copied into another participant's user data fails. Its context's
    // length, eight bytes of an ASCII text, is no frame's name length.
    std::array<unsigned char, MAC_BYTES> mac(const unsigned char (&guid)[16], const std::string& text) const {
        crypto_auth_hmacsha512256_state state;
        crypto_auth_hmacsha512256_init(&state, key_.data(), key_.size());
        crypto_auth_hmacsha512256_update(&state, reinterpret_cast<const unsigned char*>(ANNOUNCEMENT_CONTEXT),
                                         std::strlen(ANNOUNCEMENT_CONTEXT));
        crypto_auth_hmacsha512256_update(&state, guid, sizeof guid);
        addInteger(state, text.size());
        crypto_auth_hmacsha512256_update(&state, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        std::array<unsigned char, MAC_BYTES> out{};
        crypto_auth_hmacsha512256_final(&state, out.data());
        return out;
    }

    bool verify(const unsigned char (&guid)[16], const std::string& text,
                const std::array<unsigned char, MAC_BYTES>& given) const {
        const auto expected = mac(guid, text);
        return sodium_memcmp(expected.data(), given.data(), MAC_BYTES) == 0;
    }

private:
    static void addInteger(crypto_auth_hmacsha512256_state& state, std::uint64_t value) {
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        crypto_auth_hmacsha512256_update(&state, bytes, sizeof bytes);
    }

    static constexpr const char* KEY_ID_CONTEXT = "trackd-mirror key id";
    static constexpr const char* ANNOUNCEMENT_CONTEXT = "trackd-mirror announcement";
    std::array<unsigned char, crypto_auth_KEYBYTES> key_{};
    std::uint64_t id_ = 0;
};

// A key id as the tools show it: 16 hex digits.
inline std::string keyIdText(std::uint64_t id) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
    return text;
}

// Reasons to refuse a frame that are about keys, as the subscriber says them.
constexpr const char* UNSIGNED_FRAME = "unsigned; this node requires --auth-key signatures";
constexpr const char* OTHER_KEY = "signed with a different key";
constexpr const char* FAILED_MAC = "it fails authentication";

// Why a frame that arrived must not be written, or null when its shape, name and MAC are sound.
inline const char* frameProblem(const trackd_mirror_SegmentFrame& frame, const std::string& name, const AuthKey* key,
                                std::int64_t nowNs) {
    if (frame.name == nullptr || name != frame.name) return "it names another installation";
    if (frame.segment >= SEGMENT_COUNT) return "it names no known segment";
    if (frame.size != frame.bytes._length) return "its size disagrees with its bytes";
    if (frame.size < minimumSize(frame.segment)) return "it is shorter than the segment's minimum size";
    if (frame.size > MAX_SEGMENT_BYTES) return "it is longer than 256 KiB, more than any trackd segment";
    if (key != nullptr) {
        if (frame.mac._length == 0) return UNSIGNED_FRAME;
        if (frame.keyId != key->id()) return OTHER_KEY;
        if (!key->verify(frame)) return FAILED_MAC;  // altered on the way, or forged
        const std::int64_t skew = frame.readTime - nowNs;
        if (skew > MAX_CLOCK_SKEW_NS || skew < -MAX_CLOCK_SKEW_NS) return "its time is more than 5 s from this clock";
    }
    return nullptr;
}

// Follows one publisher at a time and writes each segment's newest frame only. A frame's number orders
// the frames of one publisher; between publishers only a signed frame's read time can be trusted, since
// anyone on the network can replay a dead publisher's frames and, without a key, forge any frame.
class PublisherFollower {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds TAKEOVER{500};
    static constexpr std::int64_t TAKEOVER_NS = std::chrono::nanoseconds(TAKEOVER).count();
    enum class Verdict { WRITE, STALE, OTHER_PUBLISHER };

    explicit PublisherFollower(bool signedFrames) : signed_(signedFrames) {}

    // Expects a frame that frameProblem found sound. Only a frame judged WRITE changes what is followed.
    Verdict judge(const trackd_mirror_SegmentFrame& frame, Clock::time_point now) {
        const unsigned segment = frame.segment;
        if (following_ && frame.epoch == epoch_) {
            if (frame.number > lastNumber_[segment]) return write(frame, now);
            // An unsigned frame may carry any number: when a segment's frames have all been stale for
            // TAKEOVER, one ran ahead of its publisher, and the publisher's count is taken afresh.
            auto& since = staleSince_[segment];
            if (!signed_ && since && now - *since >= TAKEOVER) return write(frame, now);
            if (!since) since = now;
            return Verdict::STALE;
        }
        if (following_) {
            // Signed: a frame read before the newest one written is history, whichever epoch it carries.
            if (signed_ && frame.readTime <= newestReadTime_) return Verdict::STALE;
            // Another publisher takes over once the followed one is silent, or, signed, when its frames are
            // newer by TAKEOVER: then the followed epoch is being replayed.
            const bool silent = now - lastWrite_ >= TAKEOVER;
            const bool newer = signed_ && frame.readTime - newestReadTime_ > TAKEOVER_NS;
            if (!silent && !newer) return Verdict::OTHER_PUBLISHER;
        }
        following_ = true;
        changed_ = true;
        epoch_ = frame.epoch;
        lastNumber_ = {};
        staleSince_ = {};
        return write(frame, now);
    }

    // True once after each change of publisher.
    bool takeChanged() { return std::exchange(changed_, false); }
    std::uint64_t epoch() const { return epoch_; }

private:
    Verdict write(const trackd_mirror_SegmentFrame& frame, Clock::time_point now) {
        lastNumber_[frame.segment] = frame.number;
        staleSince_[frame.segment].reset();
        lastWrite_ = now;
        newestReadTime_ = std::max(newestReadTime_, frame.readTime);
        return Verdict::WRITE;
    }

    bool signed_;
    bool following_ = false;
    bool changed_ = false;
    std::uint64_t epoch_ = 0;
    std::array<std::uint64_t, SEGMENT_COUNT> lastNumber_{};
    std::array<std::optional<Clock::time_point>, SEGMENT_COUNT> staleSince_{};
    Clock::time_point lastWrite_{};
    std::int64_t newestReadTime_ = std::numeric_limits<std::int64_t>::min();
};

}  // namespace trackd_mirror
