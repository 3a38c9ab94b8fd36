// What a reader of ours may learn from the writer's own words beside trackd's layout: the header's first
// word, trackd's own, in which trackd-sim counts its writes, and the mark trackd-sim leaves in its own bytes
// between the header and the first record while a hand or commands drive it.
#pragma once

#include <cstdint>

#include "trackdLayout.h"

namespace trackd_tools {

// trackd's own word, which no reader interprets: trackd-sim counts its writes there in every mode, so that
// each write changes the segment as a tracker's noise would.
constexpr std::uint32_t WRITE_COUNTER_AT = 0;
// In trackd-sim's tracker segment only, where its records start after these bytes: the driven mode's mark.
constexpr std::uint32_t DRIVEN_MARK_AT = trackd_layout::TRACKER_HEADER_BYTES;
constexpr std::uint32_t DRIVEN_MARK = 0x6e657664;  // "driven" in short: the bytes d, v, e, n

// True when the tracker segment at `base` carries the driven mark in bytes that are no sensor record's.
inline bool markedDriven(const void* base) {
    using namespace trackd_layout;
    return loadWord(base, SENSOR_OFFSET_AT) >= DRIVEN_MARK_AT + 4 && loadWord(base, DRIVEN_MARK_AT) == DRIVEN_MARK;
}

}  // namespace trackd_tools
