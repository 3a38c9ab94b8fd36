// Tracker reader: attaching, counts, positions and angles, index checks and the bounds of the segment.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture.h"
#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;

namespace {

constexpr std::uint32_t RECORDS_AT = 100;
constexpr std::uint32_t RECORD_SIZE = 44;
constexpr std::size_t SEGMENT_SIZE = 5000;  // not a whole number of pages: bounds use the exact size
constexpr std::uint32_t SIGNALLING_NAN = 0x7F800123;
constexpr std::uint32_t NEGATIVE_ZERO = 0x80000000;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

class trackerReader : public ::testing::Test {
protected:
    void SetUp() override {
        putTrackerHeader(segment, 3, RECORDS_AT, RECORD_SIZE);
        for (std::uint32_t i = 0; i < 3; ++i) {
            const auto f = static_cast<float>(i);
            putSensor(segment, RECORDS_AT + i * RECORD_SIZE, {f + 0.5F, f + 1.5F, f + 2.5F, 10 + f, 20 + f, 30 + f});
        }
        tracker = trackdInitTrackerReader(segment.key());
        ASSERT_NE(tracker, nullptr);
    }

    Segment segment{SEGMENT_SIZE};
    void* tracker = nullptr;
};

TEST(trackerAttach, reportsMissingSegment) {
    const int key = unusedKey();
    int sentinel = 0;
    void* handle = &sentinel;
    EXPECT_EQ(stderrOf([&] { handle = trackdInitTrackerReader(key); }),
              "ERROR: can't get tracker shared memory\nshmget: No such file or directory\n");
    EXPECT_EQ(handle, nullptr);
}

// Private segments (key 0) on the system, as `ipcs -m` lists them. A segment removed while still
// attached (other tests' segments, run in parallel) shows key 0 too, marked "dest": those are not counted.
int privateSegments() {
    FILE* listing = popen("ipcs -m", "r");
    if (listing == nullptr) return -1;
    int count = 0;
    char line[512];
    while (std::fgets(line, sizeof line, listing) != nullptr)
        count += std::strncmp(line, "0x00000000 ", 11) == 0 && std::strstr(line, "dest") == nullptr;
    pclose(listing);
    return count;
}

// Key 0 is IPC_PRIVATE: a lookup with it would create a fresh segment instead of finding trackd's.
TEST(attachKeyZero, failsAsAMissingSegmentAndCreatesNothing) {
    const int before = privateSegments();
    void* tracker = &tracker;
    void* controller = &controller;
    EXPECT_EQ(stderrOf([&] {
                  tracker = trackdInitTrackerReader(0);
                  controller = trackdInitControllerReader(0);
              }),
              "ERROR: can't get tracker shared memory\nshmget: No such file or directory\n"
              "ERROR: can't get controller shared memory\nshmget: No such file or directory\n");
    EXPECT_EQ(tracker, nullptr);
    EXPECT_EQ(controller, nullptr);
    EXPECT_EQ(privateSegments(), before);
}

TEST(trackerAttach, needsAtLeast1308Bytes) {
    const Segment small(1307);
    int sentinel = 0;
    void* handle = &sentinel;
    EXPECT_EQ(stderrOf([&] { handle = trackdInitTrackerReader(small.key()); }),
              "ERROR: can't get tracker shared memory\nshmget: Invalid argument\n");
    EXPECT_EQ(handle, nullptr);

    const Segment exact(1308);
    EXPECT_EQ(stderrOf([&] { handle = trackdInitTrackerReader(exact.key()); }), "");
    EXPECT_NE(handle, nullptr);
}

TEST(trackerAttach, reportsSegmentItMayReadButNotWrite) {
    const Segment readOnly(1308, 0444);
    const ChildResult child = runInChild([&] {
        if (!dropPrivileges()) return 2;
        return trackdInitTrackerReader(readOnly.key()) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.standardError, "ERROR: can't attach tracker shared memory\nshmat: Permission denied\n");
}

TEST_F(trackerReader, secondAttachmentSeesSameData) {
    void* second = trackdInitTrackerReader(segment.key());
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, tracker);
    segment.putFloat(RECORDS_AT + 4, 42.0F);
    float first[3];
    float again[3];
    ASSERT_EQ(trackdGetPosition(tracker, 0, first), 1);
    ASSERT_EQ(trackdGetPosition(second, 0, again), 1);
    EXPECT_EQ(first[1], 42.0F);
    EXPECT_EQ(again[1], 42.0F);
}

TEST_F(trackerReader, countIsTheHeaderWordUnchecked) {
    EXPECT_EQ(trackdGetNumberOfSensors(tracker), 3);
    segment.putWord(4, 1000);  // far more records than fit: still reported as written
    EXPECT_EQ(trackdGetNumberOfSensors(tracker), 1000);
    segment.putWord(4, 0xFFFFFFFF);
    EXPECT_EQ(trackdGetNumberOfSensors(tracker), -1);
}

TEST_F(trackerReader, copiesPositionAndAnglesBitForBitInOrderXYZ) {
    const std::uint32_t record = RECORDS_AT + 2 * RECORD_SIZE;
    segment.putWord(record + 0, SIGNALLING_NAN);
    segment.putWord(record + 4, NEGATIVE_ZERO);
    segment.putFloat(record + 8, -7.25F);
    segment.putFloat(record + 12, 11.0F);          // angleY
    segment.putWord(record + 16, SIGNALLING_NAN);  // angleX
    segment.putWord(record + 20, NEGATIVE_ZERO);   // angleZ

    float position[3];
    float angles[3];
    EXPECT_EQ(stderrOf([&] {
                  ASSERT_EQ(trackdGetPosition(tracker, 2, position), 1);
                  ASSERT_EQ(trackdGetEulerAngles(tracker, 2, angles), 1);
              }),
              "");
    EXPECT_EQ(bits(position[0]), SIGNALLING_NAN);
    EXPECT_EQ(bits(position[1]), NEGATIVE_ZERO);
    EXPECT_EQ(position[2], -7.25F);
    EXPECT_EQ(bits(angles[0]), SIGNALLING_NAN);
    EXPECT_EQ(angles[1], 11.0F);
    EXPECT_EQ(bits(angles[2]), NEGATIVE_ZERO);
}

TEST_F(trackerReader, rejectsNegativeIndexLeavingOutputUntouched) {
    float output[3] = {-1, -2, -3};
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetPosition(tracker, -1, output), 0); }),
              "ERROR(TrackerReader): -1 is and invalid sensor id, only 3 are available\n");
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetEulerAngles(tracker, -1, output), 0); }),
              "ERROR(TrackerReader): -1 is an invalid sensor id, only 3 are available\n");
    EXPECT_EQ(output[0], -1);
    EXPECT_EQ(output[1], -2);
    EXPECT_EQ(output[2], -3);
}

TEST_F(trackerReader, rejectsIndexEqualToCountAndAcceptsTheOneBelow) {
    float output[3] = {-1, -2, -3};
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetPosition(tracker, 3, output), 0); }),
              "ERROR(TrackerReader): 3 is and invalid sensor id, only 3 are available\n");
    EXPECT_EQ(output[0], -1);
    ASSERT_EQ(trackdGetPosition(tracker, 2, output), 1);
    EXPECT_EQ(output[0], 2.5F);
    ASSERT_EQ(trackdGetEulerAngles(tracker, 2, output), 1);
    EXPECT_EQ(output[0], 22.0F);
    EXPECT_EQ(output[1], 12.0F);
    EXPECT_EQ(output[2], 32.0F);
}

TEST_F(trackerReader, emptySegmentRejectsEveryIndex) {
    segment.putWord(4, 0);
    float output[3] = {-1, -2, -3};
    EXPECT_EQ(stderrOf([&] {
                  EXPECT_EQ(trackdGetEulerAngles(tracker, 0, output), 0);
                  EXPECT_EQ(trackdGetEulerAngles(tracker, 2147483647, output), 0);
              }),
              "ERROR(TrackerReader): 0 is an invalid sensor id, only 0 are available\n"
              "ERROR(TrackerReader): 2147483647 is an invalid sensor id, only 0 are available\n");
    EXPECT_EQ(output[0], -1);
}

TEST_F(trackerReader, recordSizeZeroReadsOneRecordForEveryIndex) {
    segment.putWord(12, 0);
    float first[3];
    float last[3];
    ASSERT_EQ(trackdGetPosition(tracker, 0, first), 1);
    ASSERT_EQ(trackdGetPosition(tracker, 2, last), 1);
    EXPECT_EQ(first[0], 0.5F);
    EXPECT_EQ(last[0], 0.5F);
}

TEST_F(trackerReader, boundsRecordsByTheSegmentsRealSize) {
    // The last record that fits ends on the segment's last byte; one byte further is refused.
    segment.putWord(4, 2);
    segment.putWord(8, SEGMENT_SIZE - 24 - 1000);
    segment.putWord(12, 1000);
    segment.putFloat(SEGMENT_SIZE - 24, 9.0F);
    float output[3] = {-1, -2, -3};
    ASSERT_EQ(trackdGetPosition(tracker, 1, output), 1);
    EXPECT_EQ(output[0], 9.0F);

    output[0] = -1;
    segment.putWord(12, 1001);
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetPosition(tracker, 1, output), 0); }),
              "ERROR(TrackerReader): sensor 1 lies outside the tracker segment: bytes 4977 to 5000 of a 5000-byte "
              "segment\n");
    EXPECT_EQ(output[0], -1);
}

TEST_F(trackerReader, refusesOffsetsThatWouldWrapBackIntoTheSegment) {
    // In 32-bit arithmetic 0x100 + 2 * 0x80000000 wraps to 0x100, a record well inside the segment.
    segment.putWord(8, 0x100);
    segment.putWord(12, 0x80000000);
    float matrix[4][4] = {};
    matrix[1][1] = 5;
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetMatrix(tracker, 2, matrix), 0); }),
              "ERROR(TrackerReader): sensor 2 lies outside the tracker segment: bytes 4294967552 to 4294967575 of a "
              "5000-byte segment\n");
    EXPECT_EQ(matrix[1][1], 5);
}

TEST_F(trackerReader, refusesHandlesItDidNotReturn) {
    const int local[400] = {0, 3, 16, 24};
    const void* foreign[] = {nullptr, local, static_cast<const char*>(tracker) + 4};
    for (const void* handle : foreign) {
        float output[4][4] = {{-1, -2, -3}};
        const std::string errors = stderrOf([&] {
            EXPECT_EQ(trackdGetNumberOfSensors(handle), 0);
            EXPECT_EQ(trackdGetPosition(handle, 0, output[0]), 0);
            EXPECT_EQ(trackdGetEulerAngles(handle, 0, output[0]), 0);
            EXPECT_EQ(trackdGetMatrix(handle, 0, output), 0);
        });
        EXPECT_EQ(output[0][0], -1);
        EXPECT_EQ(output[0][2], -3);
        std::size_t lines = 0;
        for (std::size_t at = 0; at < errors.size(); at = errors.find('\n', at) + 1, ++lines)
            EXPECT_EQ(errors.compare(at, 21, "ERROR(TrackerReader):"), 0) << errors;
        EXPECT_EQ(lines, 4U) << errors;
    }
    EXPECT_EQ(stderrOf([] { trackdGetNumberOfSensors(nullptr); }),
              "ERROR(TrackerReader): trackdGetNumberOfSensors called with a null handle; the segment is not "
              "attached\n");
}

TEST_F(trackerReader, refusesNullOutput) {
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetPosition(tracker, 0, nullptr), 0); }),
              "ERROR(TrackerReader): trackdGetPosition called with a null output array\n");
    EXPECT_EQ(trackdGetMatrix(tracker, 0, nullptr), 0);
}

TEST(trackerVersion, textAndSymbolAgree) {
    EXPECT_STREQ(getZoravoVARVersion(), "ZoravoVAR Version " ZORAVOVAR_VERSION_MAJOR_MINOR);
    EXPECT_EQ(getZoravoVARVersion(), version);
}

}  // namespace
