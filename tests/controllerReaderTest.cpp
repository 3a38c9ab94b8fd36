// Controller reader: attaching, button and valuator counts and values, index checks and bounds.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdint>

#include "capture.h"
#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;

namespace {

// Valuators stored before buttons: neither offset is derived from the other.
constexpr std::uint32_t VALUATORS_AT = 40;
constexpr std::uint32_t BUTTONS_AT = 200;
constexpr std::size_t SEGMENT_SIZE = 296;

class controllerReader : public ::testing::Test {
protected:
    void SetUp() override {
        putControllerHeader(segment, BUTTONS_AT, VALUATORS_AT, 4, 3);
        for (std::uint32_t i = 0; i < 4; ++i) segment.putInt(BUTTONS_AT + 4 * i, static_cast<int>(i) + 100);
        for (std::uint32_t i = 0; i < 3; ++i) segment.putFloat(VALUATORS_AT + 4 * i, static_cast<float>(i) - 0.5F);
        controller = trackdInitControllerReader(segment.key());
        segment.releaseKey();
        ASSERT_NE(controller, nullptr);
    }

    Segment segment{SEGMENT_SIZE};
    void* controller = nullptr;
};

TEST(controllerAttach, needsAtLeast296Bytes) {
    const Segment small(295);
    int sentinel = 0;
    void* handle = &sentinel;
    EXPECT_EQ(stderrOf([&] { handle = trackdInitControllerReader(small.key()); }),
              "ERROR: can't get controller shared memory\nshmget: Invalid argument\n");
    EXPECT_EQ(handle, nullptr);
    const Segment exact(296);
    EXPECT_NE(trackdInitControllerReader(exact.key()), nullptr);
}

TEST(controllerAttach, reportsSegmentItMayReadButNotWrite) {
    const Segment readOnly(296, 0444);
    const ChildResult child = runInChild([&] {
        if (!dropPrivileges()) return 2;
        return trackdInitControllerReader(readOnly.key()) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.standardError, "ERROR: can't attach controller shared memory\nshmat: Permission denied\n");
}

TEST(controllerAttach, isIndependentOfTheTracker) {
    const Segment controllerOnly(296);
    const int missing = unusedKey();
    int sentinel = 0;
    void* trackerHandle = &sentinel;
    void* controllerHandle = nullptr;
    EXPECT_EQ(stderrOf([&] {
                  trackerHandle = trackdInitTrackerReader(missing);
                  controllerHandle = trackdInitControllerReader(controllerOnly.key());
              }),
              "ERROR: can't get tracker shared memory\nshmget: No such file or directory\n");
    EXPECT_EQ(trackerHandle, nullptr);
    EXPECT_NE(controllerHandle, nullptr);
}

TEST_F(controllerReader, countsAreTheHeaderWordsUnchecked) {
    EXPECT_EQ(trackdGetNumberOfButtons(controller), 4);
    EXPECT_EQ(trackdGetNumberOfValuators(controller), 3);
    segment.putWord(12, 0xFFFFFFFE);
    segment.putWord(16, 5000);
    EXPECT_EQ(trackdGetNumberOfButtons(controller), -2);
    EXPECT_EQ(trackdGetNumberOfValuators(controller), 5000);
}

TEST_F(controllerReader, returnsButtonWordsWhole) {
    segment.putInt(BUTTONS_AT + 4, 5);
    segment.putInt(BUTTONS_AT + 12, INT_MIN);
    EXPECT_EQ(trackdGetButton(controller, 0), 100);
    EXPECT_EQ(trackdGetButton(controller, 1), 5);
    EXPECT_EQ(trackdGetButton(controller, 3), INT_MIN);
}

TEST_F(controllerReader, returnsValuatorsUnchanged) {
    segment.putWord(VALUATORS_AT + 4, 0x80000000);  // -0.0
    segment.putWord(VALUATORS_AT + 8, 0x7FC01234);  // a NaN with a payload
    EXPECT_EQ(trackdGetValuator(controller, 0), -0.5F);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(trackdGetValuator(controller, 1)), 0x80000000U);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(trackdGetValuator(controller, 2)), 0x7FC01234U);
}

TEST_F(controllerReader, rejectsNegativeAndTooLargeIndices) {
    EXPECT_EQ(stderrOf([&] {
                  EXPECT_EQ(trackdGetButton(controller, -1), 0);
                  EXPECT_EQ(trackdGetButton(controller, 4), 0);
                  EXPECT_EQ(trackdGetValuator(controller, -1), 0.0F);
                  EXPECT_EQ(trackdGetValuator(controller, 3), 0.0F);
              }),
              "ERROR(TrackerReader): -1 is an invalid button id, only 4 are available\n"
              "ERROR(TrackerReader): 4 is an invalid button id, only 4 are available\n"
              "ERROR(TrackerReader): -1 is an invalid valuator id, only 3 are available\n"
              "ERROR(TrackerReader): 3 is an invalid valuator id, only 3 are available\n");
    EXPECT_EQ(trackdGetButton(controller, 3), 103);
    EXPECT_EQ(trackdGetValuator(controller, 2), 1.5F);
}

TEST_F(controllerReader, noValuatorsRejectsEveryValuatorIndex) {
    segment.putWord(16, 0);
    EXPECT_EQ(stderrOf([&] {
                  EXPECT_EQ(std::bit_cast<std::uint32_t>(trackdGetValuator(controller, 0)), 0U);
                  EXPECT_EQ(trackdGetValuator(controller, 1), 0.0F);
              }),
              "ERROR(TrackerReader): 0 is an invalid valuator id, only 0 are available\n"
              "ERROR(TrackerReader): 1 is an invalid valuator id, only 0 are available\n");
}

TEST_F(controllerReader, refusesWordsPastTheSegmentEnd) {
    segment.putWord(4, SEGMENT_SIZE - 8);  // buttons 0 and 1 fit, button 2 does not
    segment.putWord(8, 0xFFFFFFFC);        // would wrap to 0 in 32-bit arithmetic
    segment.putInt(SEGMENT_SIZE - 4, 77);
    EXPECT_EQ(trackdGetButton(controller, 1), 77);
    EXPECT_EQ(stderrOf([&] {
                  EXPECT_EQ(trackdGetButton(controller, 2), 0);
                  EXPECT_EQ(trackdGetValuator(controller, 1), 0.0F);
              }),
              "ERROR(TrackerReader): button 2 lies outside the controller segment: bytes 296 to 299 of a 296-byte "
              "segment\n"
              "ERROR(TrackerReader): valuator 1 lies outside the controller segment: bytes 4294967296 to 4294967299 "
              "of a 296-byte segment\n");
}

TEST_F(controllerReader, refusesHandlesItDidNotReturn) {
    const int local[100] = {0, 20, 24, 1, 1, 9, 9};
    for (const void* handle : {static_cast<const void*>(nullptr), static_cast<const void*>(local)}) {
        const std::string errors = stderrOf([&] {
            EXPECT_EQ(trackdGetNumberOfButtons(handle), 0);
            EXPECT_EQ(trackdGetNumberOfValuators(handle), 0);
            EXPECT_EQ(trackdGetButton(handle, 0), 0);
            EXPECT_EQ(trackdGetValuator(handle, 0), 0.0F);
        });
        EXPECT_EQ(errors.find("ERROR(TrackerReader): trackdGetValuator called with "), errors.rfind("ERROR")) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 4) << errors;
    }
}

}  // namespace
