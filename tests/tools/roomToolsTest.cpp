// The tools in an installation's room: the monitor's names and room coordinates, the simulator's start poses in
// the room, and a wrong file refused the same way by each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "toolsHarness.h"
#include "zoravovarRoom.h"

namespace {

// A Z-up tracker measuring in feet, its origin 1 m right of the room's and 2 m towards the viewer:
// tracker (x, y, z) lies in the room at (1 + 0.3048 x, 0.3048 z, 2 - 0.3048 y).
constexpr double FOOT = 0.3048;
std::array<double, 3> roomOf(const std::array<double, 3>& p) { return {1 + FOOT * p[0], FOOT * p[2], 2 - FOOT * p[1]}; }

std::string installationText(int headIndex, int wandIndex) {
    return "[tracker]\nunit = 0.3048\norigin = [1.0, 0.0, 2.0]\nx_axis = [1.0, 0.0, 0.0]\n"
           "y_axis = [0.0, 0.0, -1.0]\nz_axis = [0.0, 1.0, 0.0]\n\n"
           "[[sensor]]\nindex = " +
           std::to_string(headIndex) +
           "\nname = \"head\"\nrole = \"head\"\nleft_eye = [-0.032, 0.0, 0.0]\nright_eye = [0.032, 0.0, 0.0]\n\n"
           "[[sensor]]\nindex = " +
           std::to_string(wandIndex) +
           "\nname = \"wand\"\nrole = \"wand\"\ntip = [0.0, 0.0, -0.1]\n\n"
           "[[screen]]\nname = \"front\"\nlower_left = [-1.5, 0.0, -1.5]\nlower_right = [1.5, 0.0, -1.5]\n"
           "upper_left = [-1.5, 3.0, -1.5]\n";
}

// A room that is the tracker's own: metres, the same origin and axes.
std::string identityText() {
    return "[tracker]\nunit = 1.0\norigin = [0.0, 0.0, 0.0]\nx_axis = [1.0, 0.0, 0.0]\ny_axis = [0.0, 1.0, 0.0]\n"
           "z_axis = [0.0, 0.0, 1.0]\n";
}

// A file in the test's own directory, removed at the end.
class TextFile {
public:
    explicit TextFile(const std::string& text)
        : path_(std::filesystem::temp_directory_path() /
                ("roomTools-" + std::to_string(getpid()) + "-" + std::to_string(count_++) + ".toml")) {
        std::ofstream(path_) << text;
    }
    ~TextFile() { std::filesystem::remove(path_); }
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    std::string path() const { return path_.string(); }

private:
    static inline int count_ = 0;
    std::filesystem::path path_;
};

void expectNear(const json& got, const std::array<double, 3>& expected, double tolerance, const std::string& what) {
    ASSERT_TRUE(got.is_array()) << what << ": " << got;
    for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(got[c].get<double>(), expected[c], tolerance) << what << " " << c;
}

TEST(roomMonitor, showsTheSimulatorsSensorsInTheRoomOfAZUpTrackerInFeet) {
    const Keys keys;
    RunningSim sim(keys, {"--static", "--sensors", "3"});
    const TextFile feet(installationText(0, 1));
    const json line = monitorOnce(keys, {"--installation", feet.path(), "--room"});
    ASSERT_EQ(line["sensors"].size(), 3U);
    EXPECT_EQ(line["sensors"][0]["name"], "head");
    EXPECT_EQ(line["sensors"][1]["name"], "wand");
    EXPECT_FALSE(line["sensors"][2].contains("name"));
    for (std::size_t i = 0; i < 3; ++i) {
        const double f = static_cast<double>(i);
        expectNear(line["sensors"][i]["room"]["position"], roomOf({0.5 + f, 1.25 + f, -2 - f}), 1e-5,
                   "sensor " + std::to_string(i));
    }

    // In a room that is the tracker's own, the room's angles are the tracker's.
    const TextFile same(identityText());
    const json identical = monitorOnce(keys, {"--installation", same.path(), "--room"});
    for (const json& sensor : identical["sensors"])
        expectNear(
            sensor["room"]["angles"],
            {sensor["angles"][0].get<double>(), sensor["angles"][1].get<double>(), sensor["angles"][2].get<double>()},
            1e-3, "angles");

    // --once shows the same under each sensor's row.
    Process text(command(MONITOR, keys, {"--once", "--sample", "0", "--installation", feet.path(), "--room"}));
    ASSERT_EQ(text.wait(), 0) << text.err;
    char row[128];
    const std::array<double, 3> head = roomOf({0.5, 1.25, -2});
    std::snprintf(row, sizeof row, "\n  room  %10.4f %10.4f %10.4f", head[0], head[1], head[2]);
    EXPECT_NE(text.out.find(std::string("\n0 head ")), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(row), std::string::npos) << text.out;
}

TEST(roomMonitor, namesComeFromTheFileOrTheEnvironmentAndNamesThatDisagreeAreRefused) {
    const Keys keys;
    RunningSim sim(keys, {"--static", "--sensors", "2"});
    const TextFile file(installationText(0, 1));
    EXPECT_EQ(monitorOnce(keys, {"--installation", file.path(), "--names", "head,wand"})["sensors"][1]["name"], "wand");

    Process disagreeing(command(MONITOR, keys, {"--once", "--installation", file.path(), "--names", "head,stick"}));
    EXPECT_EQ(disagreeing.wait(), 2);
    EXPECT_EQ(disagreeing.err, "trackd-monitor: --names calls sensor 1 'stick', " + file.path() + " calls it 'wand'\n");

    const std::string path = file.path();
    Process fromEnvironment(command(MONITOR, keys, {"--once", "--json", "--sample", "0", "--room"}),
                            [path] { setenv("ZORAVOVAR_INSTALLATION", path.c_str(), 1); });
    ASSERT_EQ(fromEnvironment.wait(), 0) << fromEnvironment.err;
    const json line = json::parse(fromEnvironment.out);
    EXPECT_EQ(line["sensors"][0]["name"], "head");
    expectNear(line["sensors"][0]["room"]["position"], roomOf({0.5, 1.25, -2}), 1e-5, "from the environment");

    if (!std::filesystem::exists(ZORAVOVAR_ROOM_DEFAULT_PATH)) {
        Process noRoom(command(MONITOR, keys, {"--once", "--room"}), [] { unsetenv("ZORAVOVAR_INSTALLATION"); });
        EXPECT_EQ(noRoom.wait(), 2);
        EXPECT_EQ(noRoom.err.rfind("trackd-monitor: --room needs an installation", 0), 0U) << noRoom.err;
    }
}

TEST(roomSim, drivesTheFilesHeadAndWandFromEyeHeightInTheRoomUnlessTold) {
    const Keys keys;
    // The file's head is sensor 1 and its wand sensor 0: those are the ones that start as head and wand.
    const TextFile file(installationText(1, 0));
    CommandedSim sim(keys, {"--sensors", "3", "--installation", file.path()});
    ASSERT_NE(sim.banner.find("driven by commands"), std::string::npos) << sim.process->err;
    const json line = monitorOnce(keys, {"--installation", file.path(), "--room"});
    ASSERT_EQ(line["sensors"].size(), 3U);
    EXPECT_EQ(line["sensors"][1]["name"], "head");
    expectNear(line["sensors"][1]["room"]["position"], {0, 1.7, 0}, 1e-5, "head");
    expectNear(line["sensors"][0]["room"]["position"], {0, 1.3, -0.3}, 1e-5, "wand");
    expectNear(line["sensors"][2]["room"]["position"], {0.25, 1.3, -0.3}, 1e-5, "the next sensor");
    for (const json& sensor : line["sensors"]) expectNear(sensor["room"]["angles"], {0, 0, 0}, 1e-3, "upright");
    EXPECT_EQ(sim.end(), 0);

    // --head, in the tracker's coordinates, wins over the room.
    CommandedSim told(keys, {"--sensors", "2", "--installation", file.path(), "--head", "1,2,3"});
    const json toldLine = monitorOnce(keys);
    expectNear(toldLine["sensors"][1]["position"], {1, 2, 3}, 0, "--head");
    expectNear(toldLine["sensors"][0]["position"], {-1 / FOOT, 2.3 / FOOT, 1.3 / FOOT}, 1e-5,
               "the wand still from the room");
    EXPECT_EQ(told.end(), 0);
}

TEST(roomTools, aWrongInstallationFileIsBadUsageNamingItsLine) {
    const TextFile wrong("[tracker]\nunit = 1.0\ncolour = \"red\"\n");
    const std::string expected = "trackd-monitor: " + wrong.path() + ":3: tracker.colour: unknown key";
    const Keys keys;
    Process monitor(command(MONITOR, keys, {"--once", "--installation", wrong.path()}));
    EXPECT_EQ(monitor.wait(), 2);
    EXPECT_EQ(monitor.err.rfind(expected, 0), 0U) << monitor.err;
    Process sim(command(SIM, keys, {"--interactive", "--commands", "--installation", wrong.path()}));
    EXPECT_EQ(sim.wait(), 2);
    EXPECT_EQ(sim.err.rfind("trackd-sim: " + wrong.path() + ":3: tracker.colour: unknown key", 0), 0U) << sim.err;
    EXPECT_FALSE(segmentExists(keys.tracker));
#ifdef TRACKD_VIEWER
    // Before it looks for a display.
    Process viewer({TRACKD_VIEWER, "--installation", wrong.path()}, [] { unsetenv("DISPLAY"); });
    EXPECT_EQ(viewer.wait(), 2);
    EXPECT_EQ(viewer.err.rfind("trackd-viewer: " + wrong.path() + ":3: tracker.colour: unknown key", 0), 0U)
        << viewer.err;
#endif
}

}  // namespace
