// trackd-monitor's reading: the segments read through the library's exported queries, as far as their
// headers' entries fit, and again until two reads agree.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "segmentFollower.h"
#include "snapshot.h"

namespace trackd_monitor {

constexpr int SETTLE_ATTEMPTS = 100;  // reads of a segment before a frame counts as unsettled
constexpr std::uint32_t MAX_CONTROLS_SHOWN = 4096;

// Bit for bit, so that a NaN equals itself and -0 differs from +0. Empty vectors have no data to compare.
template <typename Item>
bool sameBits(const std::vector<Item>& a, const std::vector<Item>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Item)) == 0);
}

bool sameSensors(const trackd_tools::Snapshot& a, const trackd_tools::Snapshot& b);
bool sameControls(const trackd_tools::Snapshot& a, const trackd_tools::Snapshot& b);

// Reads the sensors through the library's exported queries, as any user program would, but only those
// whose records lie inside the segment, so that a wrong header does not flood standard error.
void readSensors(SegmentFollower& tracker, std::uint32_t maxSensors, trackd_tools::Snapshot& into);
void readControls(SegmentFollower& controller, trackd_tools::Snapshot& into);

// trackd writes without a lock: a segment is read until two successive reads agree, so that a frame
// never mixes two updates. `into` holds the first read. Returns false when it never settled.
template <typename Read>
bool settle(trackd_tools::Snapshot& into, trackd_tools::Snapshot& again, Read read) {
    for (int attempt = 0; attempt < SETTLE_ATTEMPTS; ++attempt) {
        read(again);
        if (sameSensors(into, again) && sameControls(into, again)) return true;
        std::swap(into, again);
    }
    return false;
}

}  // namespace trackd_monitor
