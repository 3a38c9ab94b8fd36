// trackd-sim's segments: each made under its key and removed at the end, and the writer that fills them
// in trackd's layout, with offsets and a record size of the simulator's own choosing.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

#include "recording.h"
#include "snapshot.h"
#include "trackdLayout.h"
#include "writerMarks.h"

namespace trackd_sim {

// The simulator's own choices where trackd's layout (trackdLayout.h) leaves them to the writer: offsets
// and a record size chosen so that a reader assuming a 16-byte header and 24-byte records reads garbage.
constexpr std::uint32_t SENSOR_OFFSET = 36;
constexpr std::uint32_t SENSOR_SIZE = 52;      // 24 bytes read by the library, then a frame number and a time
constexpr std::uint32_t VALUATOR_OFFSET = 28;  // valuators before buttons: the two offsets are independent
constexpr std::uint32_t BUTTON_GAP = 12;
// Words of the simulator's own that readers skip: the write counter first in each header, the driven mark
// before the records (writerMarks.h), and after the bytes a record's readers use, the frame number and the time.
constexpr std::uint32_t FRAME_COUNTER_AT = trackd_tools::WRITE_COUNTER_AT;
constexpr std::uint32_t RECORD_FRAME_AT = trackd_layout::SENSOR_BYTES_READ;
constexpr std::uint32_t RECORD_TIME_AT = RECORD_FRAME_AT + 4;
static_assert(SENSOR_OFFSET >= trackd_tools::DRIVEN_MARK_AT + 4 && RECORD_TIME_AT + 4 <= SENSOR_SIZE);
static_assert(VALUATOR_OFFSET >= trackd_layout::CONTROLLER_HEADER_BYTES);
constexpr std::uint32_t MAX_SENSORS = trackd_tools::MOST_SENSORS;  // the segments hold what a recording may hold
constexpr std::uint32_t MAX_CONTROLS = trackd_tools::MOST_CONTROLS;

class SimSegment {
public:
    // Makes the `kind` segment of `size` bytes under `key` with `mode`, removing one that exists there only
    // when `replace`, and attaches it. Throws std::runtime_error saying why it cannot.
    SimSegment(const char* kind, int key, std::uint32_t size, int mode, bool replace);
    ~SimSegment();
    SimSegment(const SimSegment&) = delete;
    SimSegment& operator=(const SimSegment&) = delete;

    // One 32-bit store per word, as trackd makes them: readers never see a torn word.
    void put(std::uint32_t offset, std::uint32_t word) {
        std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(bytes_ + offset))
            .store(word, std::memory_order_relaxed);
    }
    void put(std::uint32_t offset, float value) { put(offset, std::bit_cast<std::uint32_t>(value)); }
    void put(std::uint32_t offset, std::int32_t value) { put(offset, static_cast<std::uint32_t>(value)); }

    int id() const { return id_; }
    std::uint32_t size() const { return size_; }

private:
    [[noreturn]] void fail(const char* what, int error) const;

    const char* kind_;
    int key_;
    int id_ = -1;
    std::uint32_t size_ = 0;
    unsigned char* bytes_ = nullptr;
};

std::uint32_t trackerSize(std::uint32_t sensors);
std::uint32_t buttonOffset(std::uint32_t valuators);
std::uint32_t controllerSize(std::uint32_t buttons, std::uint32_t valuators);

// Writes snapshots into the two segments: the header words (with the driven mark when `driven`) once, then
// each frame's records and controls, the write counters last.
class Simulator {
public:
    Simulator(SimSegment& tracker, SimSegment& controller, std::uint32_t sensors, std::uint32_t buttons,
              std::uint32_t valuators, bool driven);

    void write(const trackd_tools::Snapshot& snapshot);

private:
    SimSegment& tracker_;
    SimSegment& controller_;
    std::uint32_t sensors_, buttons_, valuators_;
    std::uint32_t frame_ = 0;
};

}  // namespace trackd_sim
