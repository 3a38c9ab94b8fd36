// Recordings: every float written by the monitor reads back into the simulator bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "options.h"
#include "snapshot.h"

using namespace trackd_tools;

namespace {

std::vector<std::uint32_t> bitsOf(const std::vector<float>& values) {
    std::vector<std::uint32_t> bits;
    bits.reserve(values.size());
    for (float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
    return bits;
}

// Writes `values` as valuators the way the monitor records them and reads them back as the simulator does.
std::vector<float> roundTrip(const std::vector<float>& values) {
    Snapshot snapshot;
    snapshot.time = 12345.678901234;
    snapshot.valuators = values;
    const Snapshot back = snapshotFromLine(toJson(snapshot).dump(), LONGEST_SECONDS);
    EXPECT_EQ(back.time, snapshot.time);
    return back.valuators;
}

TEST(recordingNumbers, hardCasesReadBackBitForBit) {
    const std::vector<std::uint32_t> hard = {
        0x15AE43FD,  // 7.038531e-26: read into a double first, it rounds to the next float up
        0x00000001, 0x00000002, 0x007FFFFF, 0x00400001,  // subnormals, smallest to largest
        0x00800000, 0x7F7FFFFF, 0x80000000, 0x80000001, 0xFF7FFFFF, 0x3F800001,
        0x4B7FFFFF, 0x4B800001, 0x33800001, 0x3DCCCCCD, 0x50000026,
    };
    std::vector<float> values;
    values.reserve(hard.size());
    for (std::uint32_t word : hard) values.push_back(std::bit_cast<float>(word));
    EXPECT_EQ(bitsOf(roundTrip(values)), hard);
}

TEST(recordingNumbers, aLargeRandomSampleReadsBackBitForBit) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::uint32_t> words;
    for (int line = 0; line < 200; ++line) {
        std::vector<float> values;
        while (values.size() < 1000) {
            const float value = std::bit_cast<float>(words(random));
            if (std::isfinite(value)) values.push_back(value);
        }
        ASSERT_EQ(bitsOf(roundTrip(values)), bitsOf(values)) << "line " << line;
    }
}

}  // namespace
