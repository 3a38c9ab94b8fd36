// The installation file's parser, through the room's C API: what it reads, each mistake it refuses and its message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "roomText.h"
#include "zoravovarRoom.h"

using testing_room::EXAMPLE;
using testing_room::load;

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("not in the text: " + from);
    return text.replace(at, from.size(), to);
}

// "k.k.k...": a key `levels` tables deep.
std::string dotted(const std::string& k, int levels) {
    std::string key = k;
    for (int i = 1; i < levels; ++i) key += "." + k;
    return key;
}

// The tracker's section alone (lines 1 to 7).
std::string trackerOnly() { return EXAMPLE.substr(0, EXAMPLE.find("[[sensor]]")); }

}  // namespace

TEST(RoomParser, ReadsTheExampleWithItsCommentsAndIntegersForFloats) {
    for (const std::string& text : {EXAMPLE, replaced(replaced(EXAMPLE, "unit = 1.0", "unit = 1"),
                                                      "origin = [0.0, 0.0, 0.0]", "origin = [0, 0, 0]")}) {
        std::string error;
        const testing_room::Room room = load(text, &error);
        ASSERT_NE(room, nullptr) << error;
        double unit = 0;
        double origin[3] = {9, 9, 9};
        double axes[9] = {};
        ASSERT_EQ(zoravovarRoomTracker(room.get(), &unit, origin, axes), 1);
        EXPECT_EQ(unit, 1.0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(origin[i], 0.0);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(axes[i], i % 4 == 0 ? 1.0 : 0.0);

        ASSERT_EQ(zoravovarRoomSensorCount(room.get()), 2);
        EXPECT_STREQ(zoravovarRoomSensorName(room.get(), 0), "head");
        EXPECT_EQ(zoravovarRoomSensorRole(room.get(), 0), ZORAVOVAR_ROOM_HEAD);
        EXPECT_EQ(zoravovarRoomSensorIndex(room.get(), 1), 1);
        EXPECT_EQ(zoravovarRoomSensorRole(room.get(), 1), ZORAVOVAR_ROOM_WAND);
        EXPECT_EQ(zoravovarRoomFindSensor(room.get(), "wand"), 1);
        EXPECT_EQ(zoravovarRoomFindSensor(room.get(), "hand"), -1);
        EXPECT_EQ(zoravovarRoomFindSensorIndex(room.get(), 0), 0);
        EXPECT_EQ(zoravovarRoomFindSensorIndex(room.get(), 2), -1);
        EXPECT_EQ(zoravovarRoomFindRole(room.get(), ZORAVOVAR_ROOM_WAND), 1);
        EXPECT_EQ(zoravovarRoomFindRole(room.get(), ZORAVOVAR_ROOM_OTHER), -1);
        double point[3] = {};
        ASSERT_EQ(zoravovarRoomSensorOffset(room.get(), 0, ZORAVOVAR_ROOM_LEFT_EYE, point), 1);
        EXPECT_EQ(point[0], -0.032);
        ASSERT_EQ(zoravovarRoomSensorOffset(room.get(), 0, ZORAVOVAR_ROOM_CENTRE_EYE, point), 1);
        EXPECT_EQ(point[0], 0.0);
        ASSERT_EQ(zoravovarRoomSensorOffset(room.get(), 1, ZORAVOVAR_ROOM_TIP, point), 1);
        EXPECT_EQ(point[2], -0.1);
        EXPECT_EQ(zoravovarRoomSensorOffset(room.get(), 1, ZORAVOVAR_ROOM_LEFT_EYE, point), 0);

        ASSERT_EQ(zoravovarRoomScreenCount(room.get()), 1);
        EXPECT_STREQ(zoravovarRoomScreenName(room.get(), 0), "front");
        EXPECT_EQ(zoravovarRoomFindScreen(room.get(), "front"), 0);
        double corners[9] = {};
        ASSERT_EQ(zoravovarRoomScreenCorners(room.get(), 0, corners), 1);
        const double expected[9] = {-1.5, 0, -1.5, 1.5, 0, -1.5, -1.5, 3, -1.5};
        for (int i = 0; i < 9; ++i) EXPECT_EQ(corners[i], expected[i]);
    }
}

TEST(RoomParser, TheReadmesExampleIsTheTestsExample) {
    std::ifstream file(README);
    const std::string readme{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::size_t section = readme.find("## The installation file and the room's math");
    ASSERT_NE(section, std::string::npos);
    const std::size_t start = readme.find("```toml\n", section);
    ASSERT_NE(start, std::string::npos);
    const std::size_t end = readme.find("```", start + 8);
    const std::string shown = readme.substr(start + 8, end - start - 8);
    EXPECT_EQ(shown, EXAMPLE.substr(EXAMPLE.find('\n') + 1));
    std::string error;
    EXPECT_NE(load(shown, &error), nullptr) << error;
}

TEST(RoomParser, EachMistakeIsRefusedWithItsPlaceAndField) {
    const std::string secondScreen =
        "[[screen]]\nname = \"front\"\nlower_left = [0, 0, 0]\nlower_right = [1, 0, 0]\n"
        "upper_left = [0, 1, 0]\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"colour = \"red\"\n" + EXAMPLE, "room.toml:1: colour: unknown key"},
        {replaced(EXAMPLE, "unit = 1.0", "units = 1.0"), "room.toml:3: tracker.units: unknown key"},
        {replaced(EXAMPLE, "tip =", "tipp ="), "room.toml:20: sensor[1].tipp: unknown key"},
        {EXAMPLE + "[screen.frame]\nwidth = 1\n", "room.toml:27: screen[0].frame: unknown key"},
        {replaced(EXAMPLE, "right_eye = [0.032, 0.0, 0.0]", "right_eye = [0.032, 0.0, 0.0]\ntip = [0, 0, 0]"),
         "room.toml:15: sensor[0].tip: not a key of a head"},
        {replaced(EXAMPLE, "unit = 1.0", "unit = 0.0"), "room.toml:3: tracker.unit: not a positive length in metres"},
        {replaced(EXAMPLE, "unit = 1.0", "unit = -0.3048"),
         "room.toml:3: tracker.unit: not a positive length in metres"},
        {replaced(EXAMPLE, "unit = 1.0", "unit = \"1\""), "room.toml:3: tracker.unit: not a number"},
        {replaced(EXAMPLE, "unit = 1.0", "unit = inf"), "room.toml:3: tracker.unit: not a finite number"},
        {replaced(EXAMPLE, "origin = [0.0, 0.0, 0.0]", "origin = [0.0, nan, 0.0]"),
         "room.toml:4: tracker.origin[1]: not a finite number"},
        {replaced(EXAMPLE, "z_axis = [0.0, 0.0, 1.0]", "z_axis = [0.0, 1.0]"),
         "room.toml:7: tracker.z_axis: not an array of three numbers"},
        {replaced(EXAMPLE, "x_axis = [1.0, 0.0, 0.0]", "x_axis = [1.0, 0.01, 0.0]"),
         "room.toml:5: tracker.x_axis: not of length 1 (within 1e-6)"},
        {replaced(EXAMPLE, "y_axis = [0.0, 1.0, 0.0]", "y_axis = [0.6, 0.8, 0.0]"),
         "room.toml:6: tracker.y_axis: not perpendicular to x_axis (within 1e-6)"},
        {replaced(EXAMPLE, "z_axis = [0.0, 0.0, 1.0]", "z_axis = [0.0, 0.0, -1.0]"),
         "room.toml:7: tracker.z_axis: the axes are left-handed: z_axis must be the cross product of x_axis and "
         "y_axis"},
        {EXAMPLE.substr(EXAMPLE.find("[[sensor]]")), "room.toml:1: tracker: missing"},
        {"sensor = 3\n" + trackerOnly(), "room.toml:1: sensor: not an array of tables: write each as [[sensor]]"},
        {replaced(EXAMPLE, "right_eye = [0.032, 0.0, 0.0]", ""), "room.toml:9: sensor[0].right_eye: missing"},
        {replaced(EXAMPLE, "role = \"head\"", "role = \"hand\""),
         "room.toml:12: sensor[0].role: not head, wand or other"},
        {replaced(EXAMPLE, "index = 1", "index = -1"),
         "room.toml:17: sensor[1].index: not a sensor index from 0 to 2147483647"},
        {replaced(EXAMPLE, "index = 1", "index = 1.0"),
         "room.toml:17: sensor[1].index: not a sensor index from 0 to 2147483647"},
        {replaced(EXAMPLE, "name = \"wand\"", "name = \"wa\\u001b[2Jnd\""),
         "room.toml:18: sensor[1].name: not a name of 1 to 64 printable ASCII characters"},
        {replaced(EXAMPLE, "name = \"wand\"", "name = \"wand\\u00e9\""),
         "room.toml:18: sensor[1].name: not a name of 1 to 64 printable ASCII characters"},
        {replaced(EXAMPLE, "name = \"wand\"", "name = \"\""),
         "room.toml:18: sensor[1].name: not a name of 1 to 64 printable ASCII characters"},
        {replaced(EXAMPLE, "name = \"wand\"", "name = \"head\""),
         "room.toml:18: sensor[1].name: \"head\" is sensor[0]'s name too"},
        {replaced(EXAMPLE, "index = 1", "index = 0"), "room.toml:17: sensor[1].index: 0 is sensor[0]'s index too"},
        {EXAMPLE + secondScreen, "room.toml:28: screen[1].name: \"front\" is screen[0]'s name too"},
        {replaced(EXAMPLE, "upper_left = [-1.5, 3.0, -1.5]", "upper_left = [-1.0, 3.0, -1.5]"),
         "room.toml:26: screen[0].upper_left: the lower and left edges meet at 80.54 degrees, not at a right angle: "
         "give the lower-left, lower-right and upper-left corners"},
        {replaced(EXAMPLE, "lower_right = [1.5, 0.0, -1.5]", "lower_right = [-1.5, 0.0, -1.5]"),
         "room.toml:25: screen[0].lower_right: the lower edge is empty or not finite: the corners make no rectangle"},
        {replaced(EXAMPLE, "upper_left = [-1.5, 3.0, -1.5]", "upper_left = [-1.5, 1e308, -1.5]"),
         "room.toml:26: screen[0].upper_left: the left edge is empty or not finite: the corners make no rectangle"},
        // Nesting deep enough to exhaust toml++'s stack is refused before toml++ sees it.
        {dotted("a", 150000) + " = 1\n",
         "room.toml:1: the line holds more than 64 of '.', '[' and '{', which nest too deep"},
        // As deep as two lines may make it: refused for what it says, not for its depth.
        {"[" + dotted("a", 60) + "]\n" + dotted("b", 60) + " = 1\n", "room.toml:1: a: unknown key"},
        {std::string(ZORAVOVAR_ROOM_MAX_FILE_SIZE + 1, '#'), "room.toml: larger than 1048576 bytes"},
        // toml++ 3.3 reaches __builtin_unreachable() on "[a" followed by U+045E: no letter outside ASCII reaches it.
        {"[a\xd1\x9e]\n", "room.toml:1: a character outside ASCII: the installation file is written in ASCII"},
        {replaced(EXAMPLE, "right_eye = [0.032, 0.0, 0.0]", "right_eye = [0.032, 0.0, 0.0]  # 3.2 cm \xe2\x86\x92"),
         "room.toml:14: a character outside ASCII: the installation file is written in ASCII"},
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_EQ(load(text, &error), nullptr) << message;
        EXPECT_EQ(error, message);
    }

    // toml++'s own findings, with the file's name and line; toml++ bounds nested arrays itself.
    std::string error;
    EXPECT_EQ(load(replaced(EXAMPLE, "unit = 1.0", "unit = = 1.0"), &error), nullptr);
    EXPECT_EQ(error.rfind("room.toml:3: ", 0), 0U) << error;
    // toml++ asserts that a key follows a table header's '[' before it checks: refused all the same.
    EXPECT_EQ(load(trackerOnly() + "[   # a comment\n", &error), nullptr);
    EXPECT_EQ(error.rfind("room.toml:9: ", 0), 0U) << error;
    // An array spans lines and holds inline tables with dotted keys: each line may add its own levels.
    std::string deep = "x = [";
    for (int line = 0; line < 200; ++line) deep += "{" + dotted("a", 60) + " = [\n";
    EXPECT_EQ(load(deep, &error), nullptr);
    EXPECT_EQ(error,
              "room.toml:4: Error while parsing value: exceeded maximum nested value depth of 8 "
              "(TOML_MAX_NESTED_VALUES)");
}

TEST(RoomParser, FilesAndErrorBuffers) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("roomParser-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "installation.toml").string();
    std::ofstream(path) << EXAMPLE;
    char error[256] = "untouched";
    testing_room::Room room(zoravovarRoomLoadFile(path.c_str(), error, sizeof error));
    ASSERT_NE(room, nullptr) << error;
    EXPECT_STREQ(error, "untouched");
    EXPECT_EQ(zoravovarRoomScreenCount(room.get()), 1);

    std::ofstream(path) << replaced(EXAMPLE, "unit = 1.0", "unit = 0");
    EXPECT_EQ(zoravovarRoomLoadFile(path.c_str(), error, sizeof error), nullptr);
    EXPECT_EQ(std::string(error), path + ":3: tracker.unit: not a positive length in metres");
    // Cut short to the buffer, always terminated; no buffer at all is fine too.
    char small[8];
    EXPECT_EQ(zoravovarRoomLoadFile(path.c_str(), small, sizeof small), nullptr);
    EXPECT_EQ(std::string(small), path.substr(0, 7));
    EXPECT_EQ(zoravovarRoomLoadFile(path.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(zoravovarRoomLoadFile(nullptr, error, sizeof error), nullptr);

    const std::string missing = (dir / "missing.toml").string();
    EXPECT_EQ(zoravovarRoomLoadFile(missing.c_str(), error, sizeof error), nullptr);
    EXPECT_EQ(std::string(error), missing + ": cannot open: No such file or directory");
    EXPECT_EQ(zoravovarRoomLoadFile(dir.c_str(), error, sizeof error), nullptr);
    EXPECT_EQ(std::string(error), dir.string() + ": cannot read: Is a directory");
    EXPECT_EQ(zoravovarRoomLoadText(nullptr, 5, nullptr, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "installation: no text given");
    std::filesystem::remove_all(dir);
}

TEST(RoomParser, LookupOrderGivenThenEnvironmentThenDefault) {
    char path[64];
    ASSERT_EQ(unsetenv("ZORAVOVAR_INSTALLATION"), 0);
    ASSERT_EQ(zoravovarRoomResolvePath(nullptr, path, sizeof path), 1);
    EXPECT_STREQ(path, "/etc/zoravovar/installation.toml");
    ASSERT_EQ(setenv("ZORAVOVAR_INSTALLATION", "/srv/cave.toml", 1), 0);
    ASSERT_EQ(zoravovarRoomResolvePath("", path, sizeof path), 1);
    EXPECT_STREQ(path, "/srv/cave.toml");
    ASSERT_EQ(zoravovarRoomResolvePath("given.toml", path, sizeof path), 1);
    EXPECT_STREQ(path, "given.toml");
    ASSERT_EQ(setenv("ZORAVOVAR_INSTALLATION", "", 1), 0);
    ASSERT_EQ(zoravovarRoomResolvePath(nullptr, path, sizeof path), 1);
    EXPECT_STREQ(path, "/etc/zoravovar/installation.toml");
    EXPECT_EQ(zoravovarRoomResolvePath("given.toml", path, 10), 0);  // needs 11 bytes
    EXPECT_EQ(zoravovarRoomResolvePath("given.toml", nullptr, 64), 0);
    unsetenv("ZORAVOVAR_INSTALLATION");
}
