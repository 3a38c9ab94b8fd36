// trackd-calibrate driven by trackd-sim's commands: the wand's tip placed at known points and button 0 pressed
// at each; the file written keeps everything else byte for byte, bad points are taken again, an existing file
// changes only with --update, and a signal writes nothing.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "toolsHarness.h"
#include "zoravovarRoom.h"

namespace {

const std::string CALIBRATE = TRACKD_CALIBRATE;

using Point = std::array<double, 3>;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A folder of its own for each test, so that files left beside the installation show; removed at the end.
struct Folder {
    explicit Folder(const Keys& keys)
        : path(::testing::TempDir() + "trackd-calibrate-" + std::to_string(keys.tracker)) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    std::ptrdiff_t files() const {
        return std::distance(std::filesystem::directory_iterator(path), std::filesystem::directory_iterator{});
    }
    std::string path;
};

const std::string HEADER = R"(# The lab's three walls. Measured by hand first.
[tracker]
unit = 1.0    # metres
origin = [0.0, 0.0, 0.0]
x_axis = [1.0, 0.0, 0.0]
y_axis = [0.0, 1.0, 0.0]
z_axis = [0.0, 0.0, 1.0]

[[sensor]]   # the head
index = 0
name = "head"
role = "head"
left_eye = [-0.032, 0.0, 0.0]
right_eye = [0.032, 0.0, 0.0]

[[sensor]]
index = 1
name = "wand"
role = "wand"
tip = [0.0, 0.0, -0.1]      # 10 cm ahead of the sensor
)";

const std::string FRONT = R"(
[[screen]]
name = "front"   # the main wall
lower_left = [-1.5, 0.0, -1.5]
lower_right = [1.5, 0.0, -1.5]
upper_left = [-1.5, 3.0, -1.5]
# the end
)";

// A calibration in progress: the tool's output followed as it comes, the simulator driven under it.
class Calibration {
public:
    Calibration(const Keys& keys, const std::vector<std::string>& args)
        : sim(keys, {"--sensors", "2", "--buttons", "2"}), tool(command(CALIBRATE, keys, args)) {}

    // Waits until the tool's standard output (or error) shows `text` past what was seen; false after 20 s.
    bool shows(const std::string& text, bool error = false) {
        std::string& stream = error ? tool.err : tool.out;
        std::size_t& seen = error ? seenErr_ : seenOut_;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (stream.find(text, seen) == std::string::npos && std::chrono::steady_clock::now() < end)
            tool.line(std::string::npos, std::chrono::milliseconds(100));  // reads both streams meanwhile
        const std::size_t at = stream.find(text, seen);
        if (at == std::string::npos) return false;
        seen = at + text.size();
        return true;
    }

    // Puts the wand (sensor 1, unturned) at `position` once the tool asks for `prompt`, presses button 0 until
    // the tool answers with `answer` (on standard error when `refused`), then releases it.
    void point(const std::string& prompt, const Point& position, const std::string& answer, bool refused = false) {
        ASSERT_TRUE(shows(prompt)) << tool.out << tool.err;
        sim.send("{\"sensor\":1,\"position\":[" + number(position[0]) + "," + number(position[1]) + "," +
                 number(position[2]) + "],\"angles\":[0,0,0]}\n{\"button\":0,\"value\":1}\n");
        ASSERT_TRUE(shows(answer, refused)) << tool.out << tool.err;
        sim.send("{\"button\":0,\"value\":0}\n");
    }

    CommandedSim sim;
    Process tool;

private:
    static std::string number(double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", v);
        return text;
    }
    std::size_t seenOut_ = 0;
    std::size_t seenErr_ = 0;
};

// The reader's matrix of a sensor at `position`, unturned: the identity with the position in row 3.
std::array<float, 16> unturned(const Point& position) {
    std::array<float, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (std::size_t c = 0; c < 3; ++c) m[12 + c] = static_cast<float>(position[c]);
    return m;
}

std::shared_ptr<ZoravovarRoom> load(const std::string& path) {
    char error[512] = "";
    std::shared_ptr<ZoravovarRoom> room(zoravovarRoomLoadFile(path.c_str(), error, sizeof error), zoravovarRoomFree);
    EXPECT_NE(room, nullptr) << error;
    return room;
}

TEST(calibrateScreen, theDrivenCornersAreAddedOrReplacedKeepingTheFileByteForByteAndACollinearCornerIsTakenAgain) {
    const Keys keys;
    const Folder folder(keys);
    const std::string file = folder.path + "/installation.toml";
    writeFile(file, HEADER + FRONT);
    Calibration run(keys, {"--installation", file, "--update", "screen", "left"});
    ASSERT_TRUE(run.shows("its tip at 0.000 0.000 -0.100 m")) << run.tool.out << run.tool.err;
    // The tip lies 0.1 ahead (-Z) of the wand: the wand stands 0.1 behind each corner.
    const std::array<Point, 3> corners{{{-1.5, 0.0, 1.0}, {-1.5, 0.0, -1.5}, {-1.5, 2.5, 1.0}}};
    const auto wandAt = [](const Point& tip) { return Point{tip[0], tip[1], tip[2] + 0.1}; };
    run.point("the lower-left corner of screen left", wandAt(corners[0]), "lower-left corner: -1.500 0.000 1.000");
    run.point("the lower-right corner", wandAt(corners[1]), "lower-right corner: -1.500 0.000 -1.500");
    // On the lower edge's line: no rectangle, so the corner is asked for again.
    run.point("the upper-left corner", wandAt({-1.5, 0.0, 2.0}),
              "refused -1.500 0.000 2.000: the lower and left "
              "edges meet at 180.0 degrees",
              true);
    run.point("the upper-left corner", wandAt(corners[2]), "upper-left corner: -1.500 2.500 1.000");
    EXPECT_EQ(run.tool.wait(), 0) << run.tool.err;
    EXPECT_NE(run.tool.out.find("wrote screen left to " + file), std::string::npos) << run.tool.out;

    const std::string written = readFile(file);
    EXPECT_EQ(written.substr(0, HEADER.size() + FRONT.size()), HEADER + FRONT) << written;
    const auto room = load(file);
    ASSERT_NE(room, nullptr);
    ASSERT_EQ(zoravovarRoomScreenCount(room.get()), 2);
    std::array<double, 9> read{};
    ASSERT_EQ(zoravovarRoomScreenCorners(room.get(), zoravovarRoomFindScreen(room.get(), "left"), read.data()), 1);
    for (std::size_t k = 0; k < read.size(); ++k) EXPECT_NEAR(read[k], corners[k / 3][k % 3], 1e-6) << k;

    // Measured again, the screen front changes in its three values alone.
    const Keys moreKeys;
    Calibration again(moreKeys, {"--installation", file, "--update", "screen", "front"});
    again.point("the lower-left corner", {-2.0, 0.0, -1.5}, "lower-left corner: -2.000 0.000 -1.600");
    again.point("the lower-right corner", {2.0, 0.0, -1.5}, "lower-right corner: 2.000 0.000 -1.600");
    again.point("the upper-left corner", {-2.0, 2.5, -1.5}, "upper-left corner: -2.000 2.500 -1.600");
    EXPECT_EQ(again.tool.wait(), 0) << again.tool.err;
    std::string expected = written;
    for (const auto& [was, now] : {std::pair<std::string, std::string>{"[-1.5, 0.0, -1.5]", "[-2.0, 0.0, -1.6]"},
                                   {"[1.5, 0.0, -1.5]", "[2.0, 0.0, -1.6]"},
                                   {"[-1.5, 3.0, -1.5]", "[-2.0, 2.5, -1.6]"}})
        expected.replace(expected.find(was), was.size(), now);
    EXPECT_EQ(readFile(file), expected);
    EXPECT_EQ(folder.files(), 1);
}

TEST(calibrateRoom, aZUpTrackerInFeetGetsTheFrameInWhichTheDrivenPointsAreTheOriginAndTheAxes) {
    const Keys keys;
    const Folder folder(keys);
    const std::string file = folder.path + "/installation.toml";
    std::string header = HEADER;
    header.replace(header.find("unit = 1.0"), 10, "unit = 0.3048");
    writeFile(file, header + FRONT);
    Calibration run(keys, {"--installation", file, "--update", "room"});
    // Tracker coordinates in feet, Z up: the room's +X along the tracker's X, the room's up (+Y) along its Z.
    const std::array<Point, 3> tips{{{2.0, 3.0, 1.0}, {5.0, 3.0, 1.0}, {2.0, 3.0, 5.0}}};
    const double tipInFeet = 0.1 / 0.3048;
    const auto wandAt = [&](const Point& tip) { return Point{tip[0], tip[1], tip[2] + tipInFeet}; };
    run.point("the room's origin", wandAt(tips[0]), "the room's origin: 2.000 3.000 1.000");
    run.point("a point along the room's +X", wandAt({2.0, 3.0, 1.0}), "refused", true);  // the origin again
    run.point("a point along the room's +X", wandAt(tips[1]), "+X: 5.000 3.000 1.000");
    run.point("a point along the room's +Y", wandAt(tips[2]), "+Y: 2.000 3.000 5.000");
    EXPECT_EQ(run.tool.wait(), 0) << run.tool.err;

    const auto room = load(file);
    ASSERT_NE(room, nullptr);
    double unit = 0;
    std::array<double, 9> axes{};
    zoravovarRoomTracker(room.get(), &unit, nullptr, axes.data());
    EXPECT_EQ(unit, 0.3048);
    const std::array<double, 9> zUp{1, 0, 0, 0, 0, -1, 0, 1, 0};
    for (std::size_t k = 0; k < axes.size(); ++k) EXPECT_NEAR(axes[k], zUp[k], 1e-6) << k;
    const std::array<Point, 3> expected{{{0, 0, 0}, {3 * 0.3048, 0, 0}, {0, 4 * 0.3048, 0}}};
    const int wand = zoravovarRoomFindRole(room.get(), ZORAVOVAR_ROOM_WAND);
    for (std::size_t p = 0; p < tips.size(); ++p) {
        const auto reader = unturned(wandAt(tips[p]));
        Point at{};
        ASSERT_EQ(zoravovarRoomSensorPoint(room.get(), wand, ZORAVOVAR_ROOM_TIP, reader.data(), at.data()), 1);
        for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(at[c], expected[p][c], 1e-6) << p << ' ' << c;
    }
    // Only the four values changed: every line but theirs is as it was.
    const std::string written = readFile(file);
    std::istringstream before(header + FRONT), after(written);
    for (std::string was, now; std::getline(before, was) && std::getline(after, now);)
        if (was.find("origin =") != 0 && was.find("_axis =") != 1) {
            EXPECT_EQ(now, was);
        }
    EXPECT_NE(written.find("origin = [-0.6096"), std::string::npos) << written;
}

TEST(calibrate, anExistingFileChangesOnlyWithUpdateBadFilesNamesAndMissingSegmentsAreRefusedAndASignalWritesNothing) {
    const Keys keys;
    const Folder folder(keys);
    const std::string file = folder.path + "/installation.toml";
    writeFile(file, HEADER + FRONT);
    {
        Process refused(command(CALIBRATE, keys, {"--installation", file, "screen", "front"}));
        EXPECT_EQ(refused.wait(), 1);
        EXPECT_EQ(refused.err.find("trackd-calibrate: " + file + " exists; not changing it: --update replaces"), 0)
            << refused.err;
        EXPECT_EQ(refused.out, "");
    }
    {
        // A file with a mistake, or a name the file cannot hold, is refused before anything is asked for.
        const std::string broken = folder.path + "/broken.toml";
        writeFile(broken, HEADER + "bogus = 1\n");
        Process mistake(command(CALIBRATE, keys, {"--installation", broken, "--update", "room"}));
        EXPECT_EQ(mistake.wait(), 1);
        EXPECT_EQ(mistake.err, "trackd-calibrate: " + broken + ":21: sensor[1].bogus: unknown key\n");
        Process badName(command(CALIBRATE, keys, {"--installation", file, "--update", "screen", "a\x1b[2J"}));
        EXPECT_EQ(badName.wait(), 2);
        EXPECT_NE(badName.err.find("'a\\x1b[2J' is not a screen's name"), std::string::npos) << badName.err;
        EXPECT_TRUE(printableOnly(badName.err)) << badName.err;
        Process version(invocation(CALIBRATE, {"--version"}));
        EXPECT_EQ(version.wait(), 0);
        EXPECT_EQ(version.out, "trackd-calibrate " ZORAVOVAR_VERSION_TEXT "\n");
        std::filesystem::remove(broken);
    }
    {
        Process missing(command(CALIBRATE, keys, {"--installation", file, "--update", "screen", "front"}));
        EXPECT_EQ(missing.wait(), 1);
        EXPECT_NE(missing.err.find("trackd-calibrate: no segment exists for tracker key " + keyText(keys.tracker)),
                  std::string::npos)
            << missing.err;
    }
    for (const int signal : {SIGINT, SIGTERM}) {
        Calibration run(keys, {"--installation", file, "--update", "screen", "front"});
        run.point("the lower-left corner", {0, 0, 0}, "lower-left corner:");
        ASSERT_TRUE(run.shows("the lower-right corner"));
        run.tool.signal(signal);
        EXPECT_EQ(run.tool.wait(), 1);
        EXPECT_NE(run.tool.err.find("trackd-calibrate: stopped; nothing was written to " + file), std::string::npos)
            << run.tool.err;
    }
    EXPECT_EQ(readFile(file), HEADER + FRONT);
    EXPECT_EQ(folder.files(), 1);
}

TEST(calibrate, onATerminalTheTipsPositionIsRefreshedInPlaceAsTheWandMoves) {
    const Keys keys;
    const Folder folder(keys);
    const std::string file = folder.path + "/installation.toml";
    writeFile(file, HEADER);
    CommandedSim sim(keys, {"--sensors", "2", "--buttons", "1"});
    sim.send("{\"sensor\":1,\"position\":[0.5,1.25,-2],\"angles\":[0,0,0]}\n");
    OnTerminal tool(command(CALIBRATE, keys, {"--installation", file, "--update", "room"}));
    // The prompt on a line of its own, the tip's position below it, rewritten in place as the wand moves.
    EXPECT_TRUE(
        tool.shows("the room's origin: point the wand's tip at it and press button 0\r\n\r\x1b[Ktip at 0.500 "
                   "1.250 -2.100 in the tracker's units"))
        << tool.screen;
    sim.send("{\"sensor\":1,\"move\":[0.25,0,0]}\n");
    EXPECT_TRUE(tool.shows("\r\x1b[Ktip at 0.750 1.250 -2.100 in the tracker's units")) << tool.screen;
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(), 1) << tool.screen;
    EXPECT_TRUE(tool.shows("\r\x1b[Ktrackd-calibrate: stopped; nothing was written to " + file)) << tool.screen;
    EXPECT_EQ(readFile(file), HEADER);
}

}  // namespace
