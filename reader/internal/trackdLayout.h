// The layout of trackd's two segments, as every reader must follow it: header words, record fields,
// minimum sizes and trackd's degree-to-radian factor. Internal: shared by the library, the tools, the
// tests and the benchmarks, never installed.
#pragma once

#include <bit>
#include <cstdint>

namespace trackd_layout {

// The smallest segments trackd makes; shorter ones are refused at attach time.
constexpr std::uint32_t TRACKER_SEGMENT_SIZE = 1308;
constexpr std::uint32_t CONTROLLER_SEGMENT_SIZE = 296;

// Tracker header, byte offsets: the sensor count, where sensor 0's record starts, and the record stride.
constexpr std::uint32_t NUM_SENSORS_AT = 4;
constexpr std::uint32_t SENSOR_OFFSET_AT = 8;
constexpr std::uint32_t SENSOR_SIZE_AT = 12;
constexpr std::uint32_t TRACKER_HEADER_BYTES = 16;

// Sensor record, byte offsets of its 32-bit floats. The angles are stored Y, X, Z.
constexpr std::uint32_t X_AT = 0;
constexpr std::uint32_t Y_AT = 4;
constexpr std::uint32_t Z_AT = 8;
constexpr std::uint32_t ANGLE_Y_AT = 12;
constexpr std::uint32_t ANGLE_X_AT = 16;
constexpr std::uint32_t ANGLE_Z_AT = 20;
constexpr std::uint32_t SENSOR_BYTES_READ = 24;  // a record's bytes that readers use; trackd may keep more

// Controller header, byte offsets. Buttons are 32-bit integers, valuators 32-bit floats.
constexpr std::uint32_t BUTTON_OFFSET_AT = 4;
constexpr std::uint32_t VALUATOR_OFFSET_AT = 8;
constexpr std::uint32_t NUM_BUTTONS_AT = 12;
constexpr std::uint32_t NUM_VALUATORS_AT = 16;
constexpr std::uint32_t CONTROLLER_HEADER_BYTES = 20;
constexpr std::uint32_t CONTROL_BYTES = 4;

// The decimal 0.01745329 in single precision: one unit in the last place below the float nearest pi/180.
constexpr float DEG_TO_RAD = std::bit_cast<float>(std::uint32_t{0x3C8EFA34});

// One 32-bit load from a segment that the compiler may neither tear, merge nor hoist, since trackd
// rewrites the segment from another process. It is the load std::atomic_ref would make, and it stays
// a single plain load on x86 even where a header's offsets leave the word unaligned.
[[gnu::always_inline]] inline std::uint32_t loadWord(const void* base, std::uint64_t offset) {
    const auto* word = reinterpret_cast<const std::uint32_t*>(static_cast<const unsigned char*>(base) + offset);
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}

// How many entries of `count`, each `stride` bytes apart from `first` and `width` bytes wide, lie wholly
// inside a segment of `size` bytes. Computed in 64 bits, so no header can make it wrap.
constexpr std::uint64_t entriesThatFit(std::uint64_t count, std::uint64_t first, std::uint64_t stride,
                                       std::uint64_t width, std::uint64_t size) {
    if (count == 0 || first + width > size) return 0;
    if (stride == 0) return count;
    const std::uint64_t fit = (size - first - width) / stride + 1;
    return fit < count ? fit : count;
}

}  // namespace trackd_layout
