// trackd-monitor's segment follower.
#include "segmentFollower.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "mirrorStatus.h"
#include "options.h"
#include "segmentKeys.h"

namespace trackd_monitor {

using namespace trackd_tools;

namespace {

std::string fixed(double value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

}  // namespace

std::string SegmentFollower::follow(Clock::time_point now, bool quiet) {
    lastLookup_ = now;
    const int id = shmget(key_, 0, 0);
    if (handle_ != nullptr && (id < 0 || id == id_)) return {};  // still ours, or gone with nothing new
    if (quiet && (id < 0 || id == failedId_)) return {};         // nothing new to try
    const bool replacing = handle_ != nullptr;
    // The library reports a failed attach on standard error, as it does for any program.
    void* handle = attach_(key_);
    if (handle == nullptr) {
        const int attachError = errno;
        failedId_ = id;
        return "hint: " + diagnoseAttach(kind_, key_, minimum_, attachError).reason;
    }
    handle_ = handle;
    id_ = id;
    shmid_ds info{};
    size_ = shmctl(id, IPC_STAT, &info) == 0 ? info.shm_segsz : minimum_;
    resetRate(now);
    reportedClaim_.clear();
    return replacing ? std::string(kind_) + " key " + keyText(key_) + " now names a new segment (id " +
                           std::to_string(id) + "): attached it"
                     : std::string();
}

std::uint32_t SegmentFollower::fitting(const char* items, std::uint32_t count, std::uint64_t fit) {
    if (fit >= count) return count;
    const std::string claim = std::string(kind_) + " header claims " + std::to_string(count) + " " + items + ", " +
                              std::to_string(fit) + " fit in its " + std::to_string(size_) + " bytes";
    if (reportedClaim_.find(claim) == std::string::npos) {
        std::cerr << "trackd-monitor: " << claim << '\n';
        reportedClaim_ += claim + '\n';
    }
    return static_cast<std::uint32_t>(fit);
}

void SegmentFollower::observe(bool changed, bool written, Clock::time_point now, long long looks) {
    if (changed) {
        changes_.push_back(now);
        lastChange_ = now;
    }
    if (written) writes_.push_back(now);
    samples_.emplace_back(now, looks);
    looksInWindow_ += looks;
    const auto old = now - clockDuration(RATE_WINDOW);
    while (!changes_.empty() && changes_.front() < old) changes_.pop_front();
    while (!writes_.empty() && writes_.front() < old) writes_.pop_front();
    for (; !samples_.empty() && samples_.front().first < old; samples_.pop_front())
        looksInWindow_ -= samples_.front().second;
    lastSample_ = now;
}

nlohmann::json SegmentFollower::health(bool exact, bool driven) const {
    nlohmann::json h = {{"key", key_}, {"keyHex", keyText(key_).substr(0, 10)}, {"minimum", minimum_}};
    if (handle_ == nullptr) {
        h["state"] = "NOT ATTACHED";
        return h;
    }
    h["id"] = id_;
    shmid_ds info{};
    const bool stat = shmctl(id_, IPC_STAT, &info) == 0;
    h["size"] = stat ? nlohmann::json(info.shm_segsz) : nlohmann::json(nullptr);
    h["attached"] = stat ? nlohmann::json(info.shm_nattch) : nlohmann::json(nullptr);
    if (stat) {
        h["owner"] = userName(info.shm_perm.uid);
        h["mode"] = octalMode(info.shm_perm.mode);
        h["worldWritable"] = (info.shm_perm.mode & WORLD_WRITE_BIT) != 0;
    }
    // Removed: marked for destruction, so the key no longer names it; its writer may still be writing.
    const bool removed = !stat || (info.shm_perm.mode & SHM_DEST) != 0;
    h["removed"] = removed;
    const double window = std::min(RATE_WINDOW, seconds(lastSample_ - attachedAt_));
    const double quiet = seconds(lastSample_ - lastChange_);
    const auto changes = static_cast<double>(changes_.size());
    const auto samples = static_cast<double>(looksInWindow_);
    // Changes in most samples: the writer may be faster than the polling, so only a lower bound is known.
    // Every change seen counts.
    const bool above = !exact && changes > 0 && 2 * changes >= samples;
    h["updatesPerSecond"] = window > 0 ? changes / window : 0.0;
    h["rateIsLowerBound"] = above;
    h["secondsSinceChange"] = quiet;
    std::string state;
    if (removed)
        state = "REMOVED: key " + keyText(key_) + " no longer names this segment; its writer may still write to it";
    else if (!changes_.empty())
        state = "live";
    else if (window < RATE_WINDOW)
        state = "measuring";
    else if (driven && !writes_.empty())
        state = "unchanged: nobody is driving";  // the simulator writes its counter, and nobody moves a thing
    else if (quiet >= FROZEN_AFTER) {
        state = "FROZEN: no change for " + fixed(quiet, 1) + " s";
        // On a render node the subscriber writes the segment: what it says of itself, when it left a status.
        if (const auto subscriber = subscriberStatusFor(key_)) h["hint"] = subscriberHint(*subscriber);
    } else
        state = "static: no change seen in " + fixed(quiet, 1) + " s";
    h["state"] = state;
    return h;
}

std::string SegmentFollower::line(const nlohmann::json& h) const {
    std::ostringstream out;
    out << kind_ << " key " << keyText(key_) << ": ";
    if (!attached()) {
        out << "NOT ATTACHED";
        return out.str();
    }
    out << "id " << id_ << ", ";
    if (h["size"].is_null())
        out << "size unknown";
    else
        out << h["size"].get<std::size_t>() << " bytes (minimum " << minimum_ << "), "
            << h["attached"].get<unsigned long>() << " attached, owner " << h["owner"].get<std::string>() << " mode "
            << h["mode"].get<std::string>();
    out << ", " << h["state"].get<std::string>();
    if (!h["removed"].get<bool>() && h["updatesPerSecond"].get<double>() > 0)
        out << ", updating at " << (h["rateIsLowerBound"].get<bool>() ? "above " : "")
            << fixed(h["updatesPerSecond"].get<double>(), 1) << " Hz";
    if (h.contains("hint")) out << "\n  hint: " << h["hint"].get<std::string>();
    if (h.value("worldWritable", false)) out << "\n  WARNING: " << WORLD_WRITABLE_RISK;
    return out.str();
}

void SegmentFollower::resetRate(Clock::time_point now) {
    changes_.clear();
    writes_.clear();
    samples_.clear();
    looksInWindow_ = 0;
    attachedAt_ = lastChange_ = lastSample_ = now;
}

}  // namespace trackd_monitor
