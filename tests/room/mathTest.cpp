// The room's math against references worked out here: glFrustum's closed form, similar triangles, clip-space
// corners, the reader's own pose matrices from real segments, and float results as the doubles rounded.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "../segment.h"
#include "roomText.h"
#include "trackdLayout.h"
#include "zoravoVAR.h"
#include "zoravovarRoom.h"

using testing_room::EXAMPLE;
using testing_room::load;
using testing_room::Room;

namespace {

using M4 = std::array<double, 16>;  // column after column
using V4 = std::array<double, 4>;

V4 times(const M4& m, const V4& v) {
    V4 out{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out[r] += m[c * 4 + r] * v[c];
    return out;
}

// glFrustum's matrix as its manual page writes it.
M4 glFrustum(double l, double r, double b, double t, double n, double f) {
    M4 m{};
    m[0] = 2 * n / (r - l);
    m[5] = 2 * n / (t - b);
    m[8] = (r + l) / (r - l);
    m[9] = (t + b) / (t - b);
    m[10] = -(f + n) / (f - n);
    m[11] = -1;
    m[14] = -2 * f * n / (f - n);
    return m;
}

std::string number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string vec(double x, double y, double z) { return "[" + number(x) + ", " + number(y) + ", " + number(z) + "]"; }

// A four-screen room: the example's front wall, a left wall at 90 degrees, the floor, and a desk screen tilted 30
// degrees back and turned 20 degrees about Y.
std::string fourScreens() {
    const double tilt = 30 * M_PI / 180;
    const double turn = 20 * M_PI / 180;
    const auto turned = [&](double x, double y, double z) {
        return vec(std::cos(turn) * x + std::sin(turn) * z, y, -std::sin(turn) * x + std::cos(turn) * z);
    };
    return EXAMPLE +
           "\n[[screen]]\nname = \"left\"\nlower_left = [-1.5, 0.0, 1.5]\nlower_right = [-1.5, 0.0, -1.5]\n"
           "upper_left = [-1.5, 3.0, 1.5]\n"
           "\n[[screen]]\nname = \"floor\"\nlower_left = [-1.5, 0.0, 1.5]\nlower_right = [1.5, 0.0, 1.5]\n"
           "upper_left = [-1.5, 0.0, -1.5]\n"
           "\n[[screen]]\nname = \"desk\"\nlower_left = " +
           turned(-0.4, 0.8, 0.3) + "\nlower_right = " + turned(0.4, 0.8, 0.3) +
           "\nupper_left = " + turned(-0.4, 0.8 + 0.5 * std::sin(tilt), 0.3 - 0.5 * std::cos(tilt)) + "\n";
}

// The reader's pose matrix for one sensor record, read back through the reader from a real segment.
class Tracker {
public:
    Tracker() {
        testing_segments::putTrackerHeader(segment_, 1, RECORDS_AT, RECORD_SIZE);
        handle_ = trackdInitTrackerReader(segment_.key());
        if (handle_ == nullptr) throw std::runtime_error("cannot attach the test's tracker segment");
    }
    std::array<float, 16> matrix(const testing_segments::Sensor& sensor) {
        testing_segments::putSensor(segment_, RECORDS_AT, sensor);
        float m[4][4];
        if (trackdGetMatrix(handle_, 0, m) != 1) throw std::runtime_error("trackdGetMatrix failed");
        return std::bit_cast<std::array<float, 16>>(m);
    }

private:
    static constexpr std::uint32_t RECORDS_AT = 36;
    static constexpr std::uint32_t RECORD_SIZE = 52;
    testing_segments::Segment segment_{trackd_layout::TRACKER_SEGMENT_SIZE};
    void* handle_ = nullptr;
};

void expectPoint(const double got[3], double x, double y, double z, double tolerance) {
    EXPECT_NEAR(got[0], x, tolerance);
    EXPECT_NEAR(got[1], y, tolerance);
    EXPECT_NEAR(got[2], z, tolerance);
}

}  // namespace

TEST(RoomMath, CentredAndOffCentreEyesGiveGlFrustumsExtents) {
    const Room room = load(EXAMPLE);
    ASSERT_NE(room, nullptr);
    M4 view{};
    M4 projection{};
    // Centred, 1.5 m in front of a 3 m square: the symmetric frustum, half as wide as near at the near plane.
    const double centred[3] = {0, 1.5, 0};
    ASSERT_EQ(zoravovarRoomScreenMatrices(room.get(), 0, centred, 0.1, 100, view.data(), projection.data()), 1);
    const M4 symmetric = glFrustum(-0.1, 0.1, -0.1, 0.1, 0.1, 100);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(projection[i], symmetric[i], 1e-12) << i;
    // The wall faces +Z: the view only moves the eye to the origin.
    for (int i = 0; i < 16; ++i) EXPECT_EQ(view[i], i % 5 == 0 ? 1.0 : i == 13 ? -1.5 : 0.0) << i;

    // Off centre, 2 m from the wall's plane: each extent at the near plane is the corner's offset from the eye
    // scaled by near / 2, by similar triangles.
    const double offCentre[3] = {0.5, 1.0, 0.5};
    const double near = 0.25;
    ASSERT_EQ(zoravovarRoomScreenMatrices(room.get(), 0, offCentre, near, 10, view.data(), projection.data()), 1);
    const double k = near / 2;
    const M4 expected = glFrustum((-1.5 - 0.5) * k, (1.5 - 0.5) * k, (0 - 1.0) * k, (3 - 1.0) * k, near, 10);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(projection[i], expected[i], 1e-12) << i;
}

TEST(RoomMath, CornersLandOnClipCornersForAnyEyeInFrontOfAnyScreen) {
    const Room room = load(fourScreens());
    ASSERT_NE(room, nullptr);
    ASSERT_EQ(zoravovarRoomScreenCount(room.get()), 4);
    std::mt19937 random(20261209);
    std::uniform_real_distribution<double> lateral(-3, 3);
    std::uniform_real_distribution<double> distance(0.2, 3);
    for (int screen = 0; screen < 4; ++screen) {
        double c[9];
        ASSERT_EQ(zoravovarRoomScreenCorners(room.get(), screen, c), 1);
        // The screen's own frame, worked out here from the corners.
        std::array<double, 3> across{c[3] - c[0], c[4] - c[1], c[5] - c[2]};
        std::array<double, 3> up{c[6] - c[0], c[7] - c[1], c[8] - c[2]};
        std::array<double, 3> out{across[1] * up[2] - across[2] * up[1], across[2] * up[0] - across[0] * up[2],
                                  across[0] * up[1] - across[1] * up[0]};
        const double length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
        for (double& v : out) v /= length;
        const std::array<V4, 4> corners{V4{c[0], c[1], c[2], 1}, V4{c[3], c[4], c[5], 1}, V4{c[6], c[7], c[8], 1},
                                        V4{c[3] + c[6] - c[0], c[4] + c[7] - c[1], c[5] + c[8] - c[2], 1}};
        const double ndc[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
        for (int trial = 0; trial < 50; ++trial) {
            const double a = lateral(random);
            const double b = lateral(random);
            const double d = distance(random);
            const double eye[3] = {c[0] + across[0] * a / 3 + up[0] * b / 3 + out[0] * d,
                                   c[1] + across[1] * a / 3 + up[1] * b / 3 + out[1] * d,
                                   c[2] + across[2] * a / 3 + up[2] * b / 3 + out[2] * d};
            const double near = 0.05;
            const double far = 50;
            M4 view{};
            M4 projection{};
            ASSERT_EQ(zoravovarRoomScreenMatrices(room.get(), screen, eye, near, far, view.data(), projection.data()),
                      1);
            for (int k = 0; k < 4; ++k) {
                const V4 clip = times(projection, times(view, corners[k]));
                EXPECT_NEAR(clip[0] / clip[3], ndc[k][0], 1e-9) << "screen " << screen << " corner " << k;
                EXPECT_NEAR(clip[1] / clip[3], ndc[k][1], 1e-9) << "screen " << screen << " corner " << k;
                EXPECT_GT(clip[2] / clip[3], -1);
                EXPECT_LT(clip[2] / clip[3], 1);
            }
            // Straight ahead of the eye, the near plane's point has depth -1 and the far plane's +1.
            for (const auto& [at, depth] : {std::pair{near, -1.0}, std::pair{far, 1.0}}) {
                const V4 p{eye[0] - out[0] * at, eye[1] - out[1] * at, eye[2] - out[2] * at, 1};
                const V4 clip = times(projection, times(view, p));
                EXPECT_NEAR(clip[2] / clip[3], depth, 1e-9);
                EXPECT_NEAR(clip[3], at, 1e-9);
            }
        }
    }
}

TEST(RoomMath, RefusesWhatMakesNoFrustumAndLeavesOutputsUntouched) {
    const Room room = load(EXAMPLE);
    ASSERT_NE(room, nullptr);
    const double inFront[3] = {0, 1.5, 0};
    const double onPlane[3] = {0, 1.5, -1.5};
    const double behind[3] = {0, 1.5, -2};
    const double notFinite[3] = {0, NAN, 0};
    struct Case {
        const ZoravovarRoom* room;
        int screen;
        const double* eye;
        double near, far;
    };
    for (const Case& c : {Case{room.get(), 0, onPlane, 0.1, 10}, Case{room.get(), 0, behind, 0.1, 10},
                          Case{room.get(), 0, notFinite, 0.1, 10}, Case{room.get(), 0, inFront, 0, 10},
                          Case{room.get(), 0, inFront, -0.1, 10}, Case{room.get(), 0, inFront, 0.1, 0.1},
                          Case{room.get(), 0, inFront, 0.1, INFINITY}, Case{room.get(), 0, inFront, NAN, 10},
                          Case{room.get(), 1, inFront, 0.1, 10}, Case{room.get(), -1, inFront, 0.1, 10},
                          Case{nullptr, 0, inFront, 0.1, 10}, Case{room.get(), 0, nullptr, 0.1, 10}}) {
        double view[16];
        float projection[16];
        for (double& v : view) v = 7;
        for (float& v : projection) v = 7;
        EXPECT_EQ(zoravovarRoomScreenMatrices(c.room, c.screen, c.eye, c.near, c.far, view, nullptr), 0);
        EXPECT_EQ(zoravovarRoomScreenMatricesf(c.room, c.screen, c.eye, c.near, c.far, nullptr, projection), 0);
        for (int i = 0; i < 16; ++i) EXPECT_TRUE(view[i] == 7 && projection[i] == 7);
    }
    EXPECT_EQ(zoravovarRoomScreenMatrices(room.get(), 0, inFront, 0.1, 10, nullptr, nullptr), 0);

    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float broken[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    broken[13] = INFINITY;
    double pose[16];
    double point[3] = {7, 7, 7};
    for (double& v : pose) v = 7;
    EXPECT_EQ(zoravovarRoomPose(room.get(), broken, pose), 0);
    EXPECT_EQ(zoravovarRoomPose(nullptr, identity, pose), 0);
    EXPECT_EQ(zoravovarRoomPose(room.get(), nullptr, pose), 0);
    EXPECT_EQ(zoravovarRoomPose(room.get(), identity, nullptr), 0);
    EXPECT_EQ(zoravovarRoomSensorPoint(room.get(), 0, ZORAVOVAR_ROOM_LEFT_EYE, broken, point), 0);
    EXPECT_EQ(zoravovarRoomSensorPoint(room.get(), 0, ZORAVOVAR_ROOM_TIP, identity, point), 0);  // a head has none
    EXPECT_EQ(zoravovarRoomSensorPoint(room.get(), 2, ZORAVOVAR_ROOM_TIP, identity, point), 0);
    EXPECT_EQ(zoravovarRoomSensorPoint(room.get(), 1, 99, identity, point), 0);
    for (double v : pose) EXPECT_EQ(v, 7);
    for (double v : point) EXPECT_EQ(v, 7);
    EXPECT_EQ(zoravovarRoomSensorName(room.get(), 2), nullptr);
    EXPECT_EQ(zoravovarRoomSensorRole(nullptr, 0), 0);
    EXPECT_EQ(zoravovarRoomSensorIndex(room.get(), -1), -1);
    EXPECT_EQ(zoravovarRoomScreenName(room.get(), 1), nullptr);
    EXPECT_EQ(zoravovarRoomFindScreen(room.get(), nullptr), -1);
    EXPECT_EQ(zoravovarRoomTracker(nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(RoomMath, StereoEyesFollowTheReadersHeadAsItTurnsAndRolls) {
    const Room room = load(EXAMPLE);
    ASSERT_NE(room, nullptr);
    Tracker tracker;
    struct Case {
        float angleY, angleZ;
        double left[3];  // the left eye's offset from the head in the room
    };
    // Turned 90 degrees to the left (about +Y), the left eye comes forward to +Z; rolled 90 degrees more about
    // the face's axis, it goes down.
    for (const Case& c : {Case{0, 0, {-0.032, 0, 0}}, Case{90, 0, {0, 0, 0.032}}, Case{90, 90, {0, -0.032, 0}},
                          Case{180, 0, {0.032, 0, 0}}}) {
        const auto reader = tracker.matrix({0.1F, 1.7F, 0.2F, c.angleY, 0, c.angleZ});
        double head[3] = {static_cast<double>(0.1F), static_cast<double>(1.7F), static_cast<double>(0.2F)};
        double left[3];
        double right[3];
        double centre[3];
        ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), 0, ZORAVOVAR_ROOM_LEFT_EYE, reader.data(), left), 1);
        ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), 0, ZORAVOVAR_ROOM_RIGHT_EYE, reader.data(), right), 1);
        ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), 0, ZORAVOVAR_ROOM_CENTRE_EYE, reader.data(), centre), 1);
        expectPoint(left, head[0] + c.left[0], head[1] + c.left[1], head[2] + c.left[2], 1e-7);
        expectPoint(right, head[0] - c.left[0], head[1] - c.left[1], head[2] - c.left[2], 1e-7);
        expectPoint(centre, head[0], head[1], head[2], 1e-12);
    }
}

TEST(RoomMath, ZUpTrackerInFeetMapsPointsAndPosesIntoTheRoom) {
    // Tracker Z is the room's up, tracker Y points into the front wall (room -Z), feet.
    std::string text = EXAMPLE;
    text.replace(text.find("unit = 1.0"), 10, "unit = 0.3048");
    text.replace(text.find("origin = [0.0, 0.0, 0.0]"), 24, "origin = [0.5, 0.0, -1.0]");
    text.replace(text.find("y_axis = [0.0, 1.0, 0.0]"), 24, "y_axis = [0.0, 0.0, -1.0]");
    text.replace(text.find("z_axis = [0.0, 0.0, 1.0]"), 24, "z_axis = [0.0, 1.0, 0.0]");
    const Room room = load(text);
    ASSERT_NE(room, nullptr);
    Tracker tracker;

    // Level, 1 ft right, 2 ft forward, 3 ft up: the room point, and the wand's tip 0.1 m below it (its own -Z is
    // the tracker's down).
    auto reader = tracker.matrix({1, 2, 3, 0, 0, 0});
    double pose[16];
    ASSERT_EQ(zoravovarRoomPose(room.get(), reader.data(), pose), 1);
    expectPoint(pose + 12, 0.5 + 0.3048, 3 * 0.3048, -1 - 2 * 0.3048, 1e-12);
    EXPECT_EQ(pose[15], 1);
    const double axes[3][3] = {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}};
    for (std::size_t column = 0; column < 3; ++column)
        expectPoint(&pose[4 * column], axes[column][0], axes[column][1], axes[column][2], 0);
    double tip[3];
    ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), 1, ZORAVOVAR_ROOM_TIP, reader.data(), tip), 1);
    expectPoint(tip, 0.5 + 0.3048, 3 * 0.3048 - 0.1, -1 - 2 * 0.3048, 1e-12);

    // Turned 90 degrees about the tracker's Z (the room's up): the sensor's X points along tracker Y, into the
    // front wall, its Y along tracker -X, and the tip still points down.
    reader = tracker.matrix({1, 2, 3, 0, 0, 90});
    ASSERT_EQ(zoravovarRoomPose(room.get(), reader.data(), pose), 1);
    expectPoint(pose, 0, 0, -1, 1e-6);
    expectPoint(pose + 4, -1, 0, 0, 1e-6);
    expectPoint(pose + 8, 0, 1, 0, 1e-6);
    ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), 1, ZORAVOVAR_ROOM_TIP, reader.data(), tip), 1);
    expectPoint(tip, 0.5 + 0.3048, 3 * 0.3048 - 0.1, -1 - 2 * 0.3048, 1e-6);
}

TEST(RoomMath, FloatResultsAreTheDoubleResultsRounded) {
    const Room room = load(fourScreens());
    ASSERT_NE(room, nullptr);
    Tracker tracker;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> angle(-180, 180);
    std::uniform_real_distribution<float> place(-2, 2);
    const auto same = [](double d, float f) {
        return std::bit_cast<std::uint32_t>(static_cast<float>(d)) == std::bit_cast<std::uint32_t>(f);
    };
    for (int trial = 0; trial < 200; ++trial) {
        const auto reader = tracker.matrix(
            {place(random), place(random) + 1.5F, place(random), angle(random), angle(random), angle(random)});
        double pose[16];
        float posef[16];
        ASSERT_EQ(zoravovarRoomPose(room.get(), reader.data(), pose), 1);
        ASSERT_EQ(zoravovarRoomPosef(room.get(), reader.data(), posef), 1);
        for (int i = 0; i < 16; ++i) ASSERT_TRUE(same(pose[i], posef[i])) << i;
        double eye[3];
        float eyef[3];
        ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), 0, ZORAVOVAR_ROOM_RIGHT_EYE, reader.data(), eye), 1);
        ASSERT_EQ(zoravovarRoomSensorPointf(room.get(), 0, ZORAVOVAR_ROOM_RIGHT_EYE, reader.data(), eyef), 1);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(same(eye[i], eyef[i])) << i;
        for (int screen = 0; screen < 4; ++screen) {
            double view[16];
            double projection[16];
            float viewf[16];
            float projectionf[16];
            const int made = zoravovarRoomScreenMatrices(room.get(), screen, eye, 0.05, 50, view, projection);
            ASSERT_EQ(zoravovarRoomScreenMatricesf(room.get(), screen, eye, 0.05, 50, viewf, projectionf), made);
            if (!made) continue;  // this eye is behind this screen
            for (int i = 0; i < 16; ++i) ASSERT_TRUE(same(view[i], viewf[i]) && same(projection[i], projectionf[i]));
        }
    }
}
