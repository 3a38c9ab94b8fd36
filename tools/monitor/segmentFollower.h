// trackd-monitor's segment follower: one segment under its key, attached through the library, attached
// anew when the key names another, with what it says of the segment's health.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

namespace trackd_monitor {

using Clock = std::chrono::steady_clock;

constexpr double FROZEN_AFTER = 2.0;   // seconds without a change before live data counts as frozen
constexpr double RATE_WINDOW = 1.0;    // seconds over which the update rate is counted
constexpr double LOOKUP_PERIOD = 0.2;  // seconds between checks that each key still names our segment

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One segment as the monitor follows it: attached through the library, looked up again by key from time
// to time, so that a segment that appears or replaces ours is attached by itself.
class SegmentFollower {
public:
    SegmentFollower(const char* kind, int key, std::uint32_t minimum, void* (*attach)(int))
        : kind_(kind), key_(key), minimum_(minimum), attach_(attach) {}

    // Attaches the segment the key names when it is not the one held; returns a notice to show, if any.
    std::string follow(Clock::time_point now, bool quiet);

    bool lookupDue(Clock::time_point now) const { return seconds(now - lastLookup_) >= LOOKUP_PERIOD; }
    bool attached() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }
    const char* kind() const { return kind_; }
    int key() const { return key_; }

    // How many of `count` entries lie inside the segment; says once on standard error when the header claims more.
    std::uint32_t fitting(const char* items, std::uint32_t count, std::uint64_t fit);
    std::uint64_t size() const { return size_; }

    // Counts a change of the values, if there was one, a write seen in the header's first word (`written`),
    // and the `looks` at the segment that found them (or found none).
    void observe(bool changed, bool written, Clock::time_point now, long long looks);

    // `exact`: the watcher knows the writer's rhythm, so no write outran the looks. `driven`: the writer is
    // trackd-sim driven by hand or by commands, whose values stay put while nobody drives.
    nlohmann::json health(bool exact, bool driven) const;

    std::string line(const nlohmann::json& h) const;

private:
    void resetRate(Clock::time_point now);

    const char* kind_;
    int key_;
    std::uint32_t minimum_;
    void* (*attach_)(int);
    void* handle_ = nullptr;
    int id_ = -1;
    int failedId_ = -1;
    std::uint64_t size_ = 0;
    std::string reportedClaim_;
    Clock::time_point lastLookup_{}, attachedAt_{}, lastChange_{}, lastSample_{};
    std::deque<Clock::time_point> changes_, writes_;
    std::deque<std::pair<Clock::time_point, long long>> samples_;  // when the monitor looked, and how often
    long long looksInWindow_ = 0;
};

}  // namespace trackd_monitor
