// Polling every query from several threads while one thread rewrites the segments as trackd does.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;

namespace {

constexpr std::uint32_t SENSORS = 4;
constexpr std::uint32_t RECORDS_AT = 32;
constexpr std::uint32_t RECORD_SIZE = 28;
constexpr std::uint32_t CONTROLS = 8;
constexpr std::uint32_t VALUATORS_AT = 24;
constexpr std::uint32_t BUTTONS_AT = VALUATORS_AT + 4 * CONTROLS;

// Writes through the library's own mapping with atomic 32-bit stores, the way trackd writes its words,
// so that a race detector watching this process sees every store the readers may meet.
void store(void* handle, std::uint32_t offset, std::uint32_t word) {
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(static_cast<unsigned char*>(handle) + offset))
        .store(word, std::memory_order_relaxed);
}
void store(void* handle, std::uint32_t offset, float value) {
    store(handle, offset, std::bit_cast<std::uint32_t>(value));
}

// Every value is 1000 * item + 100 * component + k, with k the frame number modulo 100.
bool plausible(float value, std::uint32_t item, std::uint32_t component) {
    const double v = value;
    if (v != std::floor(v) || v < 0) return false;
    const auto whole = static_cast<std::uint32_t>(v);
    return whole / 1000 == item && whole % 1000 / 100 == component;
}

TEST(concurrentPolling, everyValueReadIsOneTheWriterWrote) {
    Segment trackerSegment(1308);
    Segment controllerSegment(296);
    putTrackerHeader(trackerSegment, SENSORS, RECORDS_AT, RECORD_SIZE);
    putControllerHeader(controllerSegment, BUTTONS_AT, VALUATORS_AT, CONTROLS, CONTROLS);
    void* tracker = trackdInitTrackerReader(trackerSegment.key());
    void* controller = trackdInitControllerReader(controllerSegment.key());
    trackerSegment.releaseKey();
    controllerSegment.releaseKey();
    ASSERT_NE(tracker, nullptr);
    ASSERT_NE(controller, nullptr);

    const auto writeFrame = [&](std::uint32_t frame) {
        const std::uint32_t k = frame % 100;
        for (std::uint32_t s = 0; s < SENSORS; ++s) {
            const std::uint32_t at = RECORDS_AT + s * RECORD_SIZE;
            for (std::uint32_t c = 0; c < 3; ++c)
                store(tracker, at + 4 * c, static_cast<float>(1000 * s + 100 * c + k));
            for (std::uint32_t a = 0; a < 3; ++a) store(tracker, at + 12 + 4 * a, static_cast<float>((a + 1) * k));
        }
        for (std::uint32_t i = 0; i < CONTROLS; ++i) {
            store(controller, BUTTONS_AT + 4 * i, 1000 * i + k);
            store(controller, VALUATORS_AT + 4 * i, static_cast<float>(1000 * i + k));
        }
    };
    writeFrame(0);
    std::atomic<bool> running{true};
    std::thread writer([&] {
        for (std::uint32_t frame = 1; running.load(std::memory_order_relaxed); ++frame) writeFrame(frame);
    });

    std::vector<int> bad(4, 0);
    std::vector<std::thread> readers;
    for (std::size_t t = 0; t < bad.size(); ++t)
        readers.emplace_back([&, t] {
            for (int round = 0; round < 3000; ++round) {
                int& errors = bad[t];
                errors += trackdGetNumberOfSensors(tracker) != static_cast<int>(SENSORS);
                errors += trackdGetNumberOfButtons(controller) != static_cast<int>(CONTROLS);
                errors += trackdGetNumberOfValuators(controller) != static_cast<int>(CONTROLS);
                for (std::uint32_t s = 0; s < SENSORS; ++s) {
                    const int index = static_cast<int>(s);
                    float position[3];
                    float angles[3];
                    float m[4][4];
                    errors += trackdGetPosition(tracker, index, position) != 1;
                    errors += trackdGetEulerAngles(tracker, index, angles) != 1;
                    errors += trackdGetMatrix(tracker, index, m) != 1;
                    for (std::uint32_t c = 0; c < 3; ++c) {
                        errors += !plausible(position[c], s, c);
                        errors += !plausible(m[3][c], s, c);
                        errors += angles[c] != std::floor(angles[c]) || angles[c] < 0 || angles[c] > 297;
                    }
                    for (int r = 0; r < 3; ++r)  // a rotation, whichever frames its angles came from
                        errors += std::fabs(m[r][0] * m[r][0] + m[r][1] * m[r][1] + m[r][2] * m[r][2] - 1) > 1e-5F;
                }
                for (std::uint32_t i = 0; i < CONTROLS; ++i) {
                    const int index = static_cast<int>(i);
                    const int button = trackdGetButton(controller, index);
                    errors += button / 1000 != index || button % 1000 >= 100;
                    errors += !plausible(trackdGetValuator(controller, index), i, 0);
                }
            }
        });
    for (std::thread& reader : readers) reader.join();
    running = false;
    writer.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}

// Thousands of attachments while another thread polls the first: the table grows under the reader,
// which never misses its handle, and every handle answers afterwards.
TEST(concurrentAttaching, theTableGrowsWithoutLimitUnderPollingReaders) {
    constexpr int ATTACHMENTS = 3000;
    Segment segment(1308);
    putTrackerHeader(segment, 1, 16, 24);
    void* first = trackdInitTrackerReader(segment.key());
    ASSERT_NE(first, nullptr);
    std::atomic<bool> attaching{true};
    int missed = 0;
    std::thread reader([&] {
        while (attaching.load(std::memory_order_relaxed)) missed += trackdGetNumberOfSensors(first) != 1;
    });
    std::vector<void*> handles;
    handles.reserve(ATTACHMENTS);
    for (int i = 0; i < ATTACHMENTS; ++i) handles.push_back(trackdInitTrackerReader(segment.key()));
    attaching = false;
    reader.join();
    EXPECT_EQ(missed, 0);
    int answered = 0;
    for (void* handle : handles) answered += handle != nullptr && trackdGetNumberOfSensors(handle) == 1;
    EXPECT_EQ(answered, ATTACHMENTS);
}

}  // namespace
