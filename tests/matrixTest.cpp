// Sensor pose matrix: the rotation order, the rounded degree factor and bit-exact results.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "capture.h"
#include "referencePose.h"
#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;

namespace {

using testing_reference::Matrix;
using Bits = std::array<std::uint32_t, 16>;

constexpr std::uint32_t RECORDS_AT = 64;
constexpr std::uint32_t RECORD_SIZE = 32;
constexpr std::uint32_t SENSORS = 64;

Bits bitsOf(const float (&m)[4][4]) {
    Bits out{};
    for (int i = 0; i < 16; ++i) out[static_cast<std::size_t>(i)] = std::bit_cast<std::uint32_t>(m[i / 4][i % 4]);
    return out;
}

Bits bitsOf(const Matrix& m) {
    Bits out{};
    for (std::size_t i = 0; i < 16; ++i) out[i] = std::bit_cast<std::uint32_t>(m[i / 4][i % 4]);
    return out;
}

Matrix expectedPose(const Sensor& s) {
    return testing_reference::expectedPose(s.angleY, s.angleX, s.angleZ, s.x, s.y, s.z);
}

class poseMatrix : public ::testing::Test {
protected:
    void SetUp() override {
        putTrackerHeader(segment, SENSORS, RECORDS_AT, RECORD_SIZE);
        tracker = trackdInitTrackerReader(segment.key());
        segment.releaseKey();
        ASSERT_NE(tracker, nullptr);
    }

    Matrix poseOf(const Sensor& sensor) {
        putSensor(segment, RECORDS_AT, sensor);
        float m[4][4];
        EXPECT_EQ(trackdGetMatrix(tracker, 0, m), 1);
        Matrix out{};
        for (std::size_t i = 0; i < 16; ++i) out[i / 4][i % 4] = m[i / 4][i % 4];
        return out;
    }

    static void expectNear(const Matrix& actual, const Matrix& expected, float tolerance) {
        for (std::size_t r = 0; r < 4; ++r)
            for (std::size_t c = 0; c < 4; ++c)
                EXPECT_NEAR(actual[r][c], expected[r][c], tolerance) << "element [" << r << "][" << c << "]";
    }

    Segment segment{RECORDS_AT + SENSORS * RECORD_SIZE};
    void* tracker = nullptr;
};

TEST_F(poseMatrix, zeroAnglesGiveIdentityWithTranslationInRowThree) {
    const Matrix expected{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 2, 3, 1}}};
    EXPECT_EQ(bitsOf(poseOf({1, 2, 3, 0, 0, 0})), bitsOf(expected));
}

TEST_F(poseMatrix, roundedDegreeFactorLeavesResidueAtNinetyDegrees) {
    const Matrix m = poseOf({0, 0, 0, 90, 0, 0});
    EXPECT_EQ(m[0][2], -1.0F);
    EXPECT_EQ(m[2][0], 1.0F);
    EXPECT_GT(m[0][0], 1e-7F);
    EXPECT_LT(m[0][0], 3e-7F);
    EXPECT_EQ(m[0][0], m[2][2]);
}

TEST_F(poseMatrix, appliesZThenXThenY) {
    expectNear(poseOf({1, 2, 3, 90, 90, 0}), {{{0, 0, -1, 0}, {1, 0, 0, 0}, {0, -1, 0, 0}, {1, 2, 3, 1}}}, 2e-7F);
    expectNear(poseOf({0, 0, 0, 0, 0, 90}), {{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, 2e-7F);
    const Matrix thirty = poseOf({0, 0, 0, 30, 0, 0});
    expectNear(thirty, {{{0.8660254F, 0, -0.5F, 0}, {0, 1, 0, 0}, {0.5F, 0, 0.8660254F, 0}, {0, 0, 0, 1}}}, 1e-7F);
    EXPECT_NE(thirty[2][0], 0.5F);
}

TEST_F(poseMatrix, matchesTheCompositionBitForBitForRandomAndSpecialAngles) {
    std::mt19937 random(20261208);
    std::uniform_real_distribution<float> angle(-720, 720);
    std::uniform_real_distribution<float> position(-5, 5);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Sensor> sensors = {
        {1, 2, 3, -0.0F, -0.0F, -0.0F}, {0, 0, 0, 180, -180, 360},   {nan, 1, 2, nan, 0, 0},
        {0, 0, 0, 0, inf, 0},           {0, 0, 0, 1e30F, -1e30F, 3}, {-0.0F, 0, 0, 45, 45, 45},
    };
    for (int i = 0; i < 20000; ++i)
        sensors.push_back(
            {position(random), position(random), position(random), angle(random), angle(random), angle(random)});
    for (const Sensor& s : sensors) {
        const Matrix actual = poseOf(s);
        ASSERT_EQ(bitsOf(actual), bitsOf(expectedPose(s)))
            << "angles Y " << s.angleY << " X " << s.angleX << " Z " << s.angleZ;
    }
}

TEST_F(poseMatrix, matchesTheCompositionBitForBitForEveryTripleOfSpecialAngles) {
    // Signed zeros, angles whose sines underflow or whose products do, exact quarter turns, huge and
    // non-finite angles: every combination, since zeros and NaNs travel through both products.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float special[] = {0.0F,   -0.0F,  1e-45F, -1e-45F, 1e-30F, -1e-30F, 1e-20F, 45.0F, 90.0F,
                             -90.0F, 180.0F, 270.0F, -360.0F, 1e30F,  nan,     inf,    -inf};
    for (float y : special)
        for (float x : special)
            for (float z : special) {
                const Sensor s{-0.0F, 1e-45F, nan, y, x, z};
                ASSERT_EQ(bitsOf(poseOf(s)), bitsOf(expectedPose(s))) << "angles Y " << y << " X " << x << " Z " << z;
            }
}

TEST_F(poseMatrix, concurrentCallsDoNotDisturbEachOther) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> angle(-180, 180);
    std::vector<Bits> expected;
    for (std::uint32_t i = 0; i < SENSORS; ++i) {
        const Sensor s{1, 2, 3, angle(random), angle(random), angle(random)};
        putSensor(segment, RECORDS_AT + i * RECORD_SIZE, s);
        expected.push_back(bitsOf(expectedPose(s)));
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 2000; ++round)
                for (std::uint32_t i = static_cast<std::uint32_t>(t); i < SENSORS; i += 4) {
                    float m[4][4];
                    trackdGetMatrix(tracker, static_cast<int>(i), m);
                    if (bitsOf(m) != expected[i]) ++mismatches[static_cast<std::size_t>(t)];
                }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_F(poseMatrix, badIndexLeavesEveryElementAndPrintsOnce) {
    float m[4][4];
    for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = static_cast<float>(i) + 0.25F;
    const Bits before = bitsOf(m);
    EXPECT_EQ(stderrOf([&] { EXPECT_EQ(trackdGetMatrix(tracker, static_cast<int>(SENSORS), m), 0); }),
              "ERROR(TrackerReader): 64 is an invalid sensor id, only 64 are available\n");
    EXPECT_EQ(bitsOf(m), before);
}

}  // namespace
