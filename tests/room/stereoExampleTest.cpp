// The OpenGL example, run on a display against a real tracker segment: each eye's cube lands in its half of the
// window where the room library's matrices put it, with the parallax the eyes' offset makes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zoravoVAR.h>
#include <zoravovarRoom.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../process.h"
#include "../segment.h"
#include "roomText.h"

namespace {

// One screen, 1 m square, 1 m in front of the head; eyes 0.2 m apart, so that the parallax spans many pixels.
const std::string INSTALLATION = R"([tracker]
unit = 1.0
origin = [0.0, 0.0, 0.0]
x_axis = [1.0, 0.0, 0.0]
y_axis = [0.0, 1.0, 0.0]
z_axis = [0.0, 0.0, 1.0]

[[sensor]]
index = 0
name = "head"
role = "head"
left_eye = [-0.1, 0.0, 0.0]
right_eye = [0.1, 0.0, 0.0]

[[screen]]
name = "desk"
lower_left = [-0.5, 1.0, -1.0]
lower_right = [0.5, 1.0, -1.0]
upper_left = [-0.5, 2.0, -1.0]
)";
constexpr double SCREEN_Z = -1.0;
constexpr double CUBE[3] = {0.0, 1.5, -0.5};
constexpr double EDGE = 0.06;
constexpr int WIDTH = 800;
constexpr int HEIGHT = 400;
constexpr int HALF = WIDTH / 2;

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "stereoExampleTest.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path_); }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    std::string file(const std::string& name, const std::string& text = {}) const {
        std::string path = (path_ / name).string();
        if (!text.empty() && !(std::ofstream(path) << text)) throw std::runtime_error("cannot write " + path);
        return path;
    }

private:
    std::filesystem::path path_;
};

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
    // The cube is orange in three shades; the background a dark grey-blue.
    bool cube(int x, int y) const { return at(x, y)[0] >= 140 && at(x, y)[1] < at(x, y)[0] && at(x, y)[2] <= 30; }
    bool background(int x, int y) const { return at(x, y)[0] <= 40 && at(x, y)[1] <= 40 && at(x, y)[2] <= 50; }
};

Picture readPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    Picture picture;
    int maximum = 0;
    in >> magic >> picture.width >> picture.height >> maximum;
    in.get();
    if (!in || magic != "P6" || maximum != 255 || picture.width <= 0 || picture.width > 16384 || picture.height <= 0 ||
        picture.height > 16384)
        throw std::runtime_error("not a binary PPM: " + path);
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    in.read(reinterpret_cast<char*>(picture.rgb.data()), static_cast<std::streamsize>(picture.rgb.size()));
    if (!in) throw std::runtime_error("a short PPM: " + path);
    return picture;
}

// Where a room point lands in the screenshot (x from the left, y from the top, continuous pixel coordinates),
// through projection · view as the library makes them for `eye`, in the half of the window for `side`.
std::array<double, 2> project(const ZoravovarRoom* room, const double eye[3], int side, const double point[3]) {
    double view[16], projection[16];
    if (!zoravovarRoomScreenMatrices(room, 0, eye, 0.05, 100.0, view, projection))
        throw std::runtime_error("no matrices");
    const double p[4] = {point[0], point[1], point[2], 1.0};
    double eyeSpace[4] = {}, clip[4] = {};
    for (int row = 0; row < 4; ++row)
        for (int k = 0; k < 4; ++k) eyeSpace[row] += view[k * 4 + row] * p[k];
    for (int row = 0; row < 4; ++row)
        for (int k = 0; k < 4; ++k) clip[row] += projection[k * 4 + row] * eyeSpace[k];
    return {side * HALF + (clip[0] / clip[3] + 1) / 2 * HALF, (1 - clip[1] / clip[3]) / 2 * HEIGHT};
}

// The same point found without the matrices: the ray from the eye through it meets the screen's plane, whose
// corners span the half window.
std::array<double, 2> throughScreen(const double eye[3], int side, const double point[3]) {
    const double t = (SCREEN_Z - eye[2]) / (point[2] - eye[2]);
    const double x = eye[0] + t * (point[0] - eye[0]);
    const double y = eye[1] + t * (point[1] - eye[1]);
    return {side * HALF + (x + 0.5) * HALF, (2.0 - y) * HEIGHT};
}

TEST(StereoExample, RendersEachEyesCubeWhereTheRoomsMatricesSay) {
    const TemporaryFolder folder;
    const std::string installation = folder.file("installation.toml", INSTALLATION);
    char error[512];
    const testing_room::Room loaded(zoravovarRoomLoadFile(installation.c_str(), error, sizeof error));
    ASSERT_NE(loaded, nullptr) << error;
    const ZoravovarRoom* room = loaded.get();

    // The head turned 10 degrees about Y, off the screen's centre line: the eyes' offset turns with it.
    testing_segments::Segment segment(trackd_layout::TRACKER_SEGMENT_SIZE);
    testing_segments::putTrackerHeader(segment, 1, 36, 52);
    testing_segments::putSensor(segment, 36, {0.05f, 1.6f, 0.0f, 10.0f, 0.0f, 0.0f});
    void* tracker = trackdInitTrackerReader(segment.key());
    ASSERT_NE(tracker, nullptr);
    float matrix[4][4];
    ASSERT_EQ(trackdGetMatrix(tracker, 0, matrix), 1);
    const auto reader = std::bit_cast<std::array<float, 16>>(matrix);

    // Under AddressSanitizer: Mesa's driver, unloaded at exit, leaves allocations that LeakSanitizer can neither
    // name nor be told to pass by name; the example's own leaks go unchecked with them (it frees what it takes).
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
    testing_processes::Process example({STEREO_EXAMPLE, "--installation", installation, "--screen", "desk", "--at",
                                        "0.0,1.5,-0.5", "--edge", "0.06", "--size", "800x400", "--frames", "3",
                                        "--screenshot", folder.file("shot.ppm"), std::to_string(segment.key())});
    ASSERT_EQ(example.wait(std::chrono::seconds(240)), 0) << example.err;
    const Picture picture = readPpm(folder.file("shot.ppm"));
    ASSERT_EQ(picture.width, WIDTH);
    ASSERT_EQ(picture.height, HEIGHT);

    std::array<double, 2> centre[2];
    double outline[2][4], rendered[2][4];  // each half's cube, expected and drawn: left, right, top, bottom edges
    for (int side = 0; side < 2; ++side) {
        SCOPED_TRACE(side == 0 ? "left eye" : "right eye");
        double eye[3];
        ASSERT_EQ(zoravovarRoomSensorPoint(room, 0, side == 0 ? ZORAVOVAR_ROOM_LEFT_EYE : ZORAVOVAR_ROOM_RIGHT_EYE,
                                           reader.data(), eye),
                  1);
        centre[side] = project(room, eye, side, CUBE);
        const std::array<double, 2> ray = throughScreen(eye, side, CUBE);
        EXPECT_NEAR(centre[side][0], ray[0], 1e-6);
        EXPECT_NEAR(centre[side][1], ray[1], 1e-6);

        // The cube's outline is the hull of its corners' images: their extremes bound its pixels.
        double expected[4] = {1e9, -1e9, 1e9, -1e9};
        for (int corner = 0; corner < 8; ++corner) {
            const double point[3] = {CUBE[0] + ((corner & 1) ? 0.5 : -0.5) * EDGE,
                                     CUBE[1] + ((corner & 2) ? 0.5 : -0.5) * EDGE,
                                     CUBE[2] + ((corner & 4) ? 0.5 : -0.5) * EDGE};
            const std::array<double, 2> image = project(room, eye, side, point);
            expected[0] = std::min(expected[0], image[0]);
            expected[1] = std::max(expected[1], image[0]);
            expected[2] = std::min(expected[2], image[1]);
            expected[3] = std::max(expected[3], image[1]);
        }
        double found[4] = {1e9, -1e9, 1e9, -1e9};
        int stray = 0;
        for (int y = 0; y < HEIGHT; ++y)
            for (int x = side * HALF; x < (side + 1) * HALF; ++x) {
                const double cx = x + 0.5, cy = y + 0.5;  // pixel centres
                if (picture.cube(x, y)) {
                    found[0] = std::min(found[0], cx);
                    found[1] = std::max(found[1], cx);
                    found[2] = std::min(found[2], cy);
                    found[3] = std::max(found[3], cy);
                } else if (!picture.background(x, y)) {
                    ++stray;
                }
            }
        EXPECT_EQ(stray, 0) << "pixels neither the cube's nor the background's";
        for (int edge = 0; edge < 4; ++edge) EXPECT_NEAR(found[edge], expected[edge], 1.5) << "edge " << edge;
        std::copy(std::begin(found), std::end(found), rendered[side]);
        std::copy(std::begin(expected), std::end(expected), outline[side]);

        const int x = static_cast<int>(centre[side][0]), y = static_cast<int>(centre[side][1]);
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx) EXPECT_TRUE(picture.cube(x + dx, y + dy)) << x + dx << "," << y + dy;
        // Well outside the outline: the half's corners, and where the other eye's cube lies in its own half.
        for (const auto& [bx, by] : {std::array{side * HALF + 2, 2}, std::array{side * HALF + HALF - 3, HEIGHT - 3}})
            EXPECT_TRUE(picture.background(bx, by)) << bx << "," << by;
    }
    // The cube floats between the eyes and the screen: crossed parallax, the left eye's image right of the right
    // eye's, by about 0.2 m · 0.5 / 0.5 on a 1 m screen (the turned head moves each eye nearer or farther).
    const double parallax = centre[0][0] - (centre[1][0] - HALF);
    EXPECT_GT(parallax, 0.18 * HALF);
    EXPECT_LT(parallax, 0.21 * HALF);
    // The outlines' middles, which perspective sets a little apart from the centre's image, as drawn.
    const auto middle = [](const double edges[4]) { return (edges[0] + edges[1]) / 2; };
    EXPECT_NEAR(middle(rendered[0]) - (middle(rendered[1]) - HALF), middle(outline[0]) - (middle(outline[1]) - HALF),
                2.0);
    EXPECT_TRUE(picture.background(static_cast<int>(centre[0][0]) + HALF, static_cast<int>(centre[0][1])));
    EXPECT_TRUE(picture.background(static_cast<int>(centre[1][0]) - HALF, static_cast<int>(centre[1][1])));
}

TEST(StereoExample, FailsWithItsNameAndStatus) {
    const TemporaryFolder folder;
    const std::string installation = folder.file("installation.toml", INSTALLATION);
    const std::string broken = folder.file("broken.toml", "[tracker]\nunit = -1.0\n");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--frames", "0"}, 2, "stereo: --frames takes a positive count"},
        {{"--at", "1,2"}, 2, "stereo: --at takes X,Y,Z"},
        {{"--screenshot", folder.file("shot.ppm")}, 2, "stereo: --screenshot needs --frames"},
        {{"--installation", broken}, 1, "stereo: " + broken + ":"},
        {{"--installation", installation, "--screen", "floor"}, 1, "stereo: " + installation + ": no such screen"},
        {{"--installation", installation, "--frames", "1", std::to_string(testing_segments::unusedKey())},
         1,
         "stereo: cannot attach the tracker segment under key"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{STEREO_EXAMPLE};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        testing_processes::Process example(argv);
        EXPECT_EQ(example.wait(std::chrono::seconds(60)), c.status) << example.err;
        EXPECT_NE(example.err.find(c.message), std::string::npos) << example.err;
        EXPECT_EQ(example.out, "");
    }
}

}  // namespace
