// What makes a mirrored frame acceptable: its shape, its MAC under the installation's key, and the rule
// that only the newest frame of one publisher at a time reaches the local segments.
#pragma once

#include <sodium.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "SegmentFrame.h"
#include "trackdLayout.h"

namespace trackd_mirror {

constexpr std::uint32_t MAX_FRAME_BYTES = 16u << 20;
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
    explicit AuthKey(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
            throw std::runtime_error("the key file " + path + " must hold exactly " + std::to_string(key_.size()) +
                                     " bytes (trackd-mirror keygen " + path + " makes one)");
    }
    AuthKey(const AuthKey&) = delete;
    AuthKey& operator=(const AuthKey&) = delete;
    ~AuthKey() { sodium_memzero(key_.data(), key_.size()); }

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
        std::array<unsigned char, MAC_BYTES> out{};
        crypto_auth_hmacsha512256_final(&state, out.data());
        return out;
    }

    bool verify(const trackd_mirror_SegmentFrame& frame) const {
        if (frame.mac._length != MAC_BYTES) return false;
        const auto expected = mac(frame);
        return sodium_memcmp(expected.data(), frame.mac._buffer, MAC_BYTES) == 0;
    }

private:
    static void addInteger(crypto_auth_hmacsha512256_state& state, std::uint64_t value) {
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        crypto_auth_hmacsha512256_update(&state, bytes, sizeof bytes);
    }

    std::array<unsigned char, crypto_auth_KEYBYTES> key_{};
};

// Why a frame that arrived must not be written, or null when its shape, name and MAC are sound.
inline const char* frameProblem(const trackd_mirror_SegmentFrame& frame, const std::string& name, const AuthKey* key,
                                std::int64_t nowNs) {
    if (frame.name == nullptr || name != frame.name) return "it names another installation";
    if (frame.segment >= SEGMENT_COUNT) return "it names no known segment";
    if (frame.size != frame.bytes._length) return "its size disagrees with its bytes";
    if (frame.size < minimumSize(frame.segment)) return "it is shorter than the segment's minimum size";
    if (frame.size > MAX_FRAME_BYTES) return "it is longer than 16 MiB";
    if (key != nullptr) {
        if (!key->verify(frame)) return "it fails authentication";
        const std::int64_t skew = frame.readTime - nowNs;
        if (skew > MAX_CLOCK_SKEW_NS || skew < -MAX_CLOCK_SKEW_NS) return "its time is more than 5 s from this clock";
    }
    return nullptr;
}

// Follows one publisher at a time: its frames are written newest first and never an older one after a
// newer; another publisher's frames are ignored until the followed one has been silent for TAKEOVER.
class PublisherFollower {
public:
    static constexpr std::chrono::milliseconds TAKEOVER{500};
    enum class Verdict { WRITE, STALE, OTHER_PUBLISHER };
    using Clock = std::chrono::steady_clock;

    Verdict judge(const trackd_mirror_SegmentFrame& frame, Clock::time_point now) {
        if (!following_ || frame.epoch != epoch_) {
            if (following_ && now - lastHeard_ < TAKEOVER) return Verdict::OTHER_PUBLISHER;
            following_ = true;
            epoch_ = frame.epoch;
            lastNumber_ = {};
            changed_ = true;
        }
        lastHeard_ = now;
        if (frame.number <= lastNumber_[frame.segment]) return Verdict::STALE;
        lastNumber_[frame.segment] = frame.number;
        return Verdict::WRITE;
    }

    // True once after each change of publisher.
    bool takeChanged() { return std::exchange(changed_, false); }
    std::uint64_t epoch() const { return epoch_; }

private:
    bool following_ = false;
    bool changed_ = false;
    std::uint64_t epoch_ = 0;
    std::array<std::uint64_t, SEGMENT_COUNT> lastNumber_{};
    Clock::time_point lastHeard_{};
};

}  // namespace trackd_mirror
