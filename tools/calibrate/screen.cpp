// trackd-calibrate screen NAME: the lower-left, lower-right and upper-left corners of a screen, each where the
// wand's tip is in the room at a press of button 0, written as that screen of the installation file.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "options.h"
#include "roles.h"

namespace trackd_calibrate {

namespace {

constexpr std::array<const char*, 3> CORNERS = {"lower-left", "lower-right", "upper-left"};
constexpr std::array<const char*, 3> KEYS = {"lower_left", "lower_right", "upper_left"};

std::string fixed(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Why corner `which` at `point` makes no rectangle with the corners before it, or "".
std::string problem(std::size_t which, const std::array<Vec3, 3>& corners, const Vec3& point) {
    if (!std::isfinite(length(point))) return "the wand's pose gives no place in the room";
    if (which == 0) return {};
    const Vec3 edge = minus(point, corners[0]);
    if (length(edge) < SHORTEST_SPAN)
        return std::string("the ") + CORNERS[which] + " corner lies within " + fixed(SHORTEST_SPAN * 100, "%.0f") +
               " cm of the lower-left corner: it gives no edge";
    if (which == 1) return {};
    const double angle = degreesBetween(minus(corners[1], corners[0]), edge);
    if (std::fabs(angle - 90) > RIGHT_ANGLE_TOLERANCE)
        return "the lower and left edges meet at " + fixed(angle, "%.1f") + " degrees, more than " +
               fixed(RIGHT_ANGLE_TOLERANCE, "%.0f") + " from a right angle: the corners make no rectangle";
    return {};
}

// Why the installation file would refuse `name` as a screen's name, or "": the room library is asked.
std::string nameProblem(const std::string& name) {
    const std::string text = newInstallationText(1.0) + "[[screen]]\nname = " + tomlString(name) +
                             "\nlower_left = [0, 0, 0]\nlower_right = [1, 0, 0]\nupper_left = [0, 1, 0]\n";
    char error[512] = "";
    ZoravovarRoom* room = zoravovarRoomLoadText(text.data(), text.size(), "NAME", error, sizeof error);
    zoravovarRoomFree(room);
    if (room != nullptr) return {};
    // "NAME:LINE: field: what is wrong", or "NAME:LINE: what is wrong" where TOML itself refuses the text.
    std::string message = error;
    if (const std::size_t place = message.find(": "); place != std::string::npos) message.erase(0, place + 2);
    const std::string field = "screen[0].name: ";
    if (message.starts_with(field)) message.erase(0, field.size());
    return "'" + trackd_tools::printable(name) + "' is not a screen's name: " + message;
}

// The file's text with the screen's corners: its values replaced where it has the screen, else a new table at
// its end.
std::string screenText(const Start& start, int existing, const std::string& name, const std::array<Vec3, 3>& corners) {
    if (existing >= 0) {
        std::vector<Edit> edits;
        for (std::size_t k = 0; k < KEYS.size(); ++k) {
            const auto span = valueSpan(start.text, "screen", static_cast<std::size_t>(existing), KEYS[k]);
            if (!span) throw std::runtime_error(start.path + ": cannot find screen " + name + "'s " + KEYS[k]);
            edits.push_back({*span, vectorText(corners[k])});
        }
        return applyEdits(start.text, edits);
    }
    std::string text = start.text;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += "\n[[screen]]\nname = " + tomlString(name) + "\n";
    for (std::size_t k = 0; k < KEYS.size(); ++k) text += std::string(KEYS[k]) + " = " + vectorText(corners[k]) + "\n";
    return text;
}

int calibrateScreen(const Settings& settings, const std::string& name) {
    const Start start = begin(settings, "replaces or adds the screen " + name + " in it", 1.0);
    const int existing = zoravovarRoomFindScreen(start.room.get(), name.c_str());
    // Tried first with corners of a unit square, so that a file the screen cannot be written into (one whose
    // screens are an inline array, say) is refused before any point is taken.
    try {
        loadRoom(screenText(start, existing, name, {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}}), start.path);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot write the screen " + name + " into " + start.path +
                                 " (with a new [[screen]] table at its end, the text would read: " + e.what() + ")");
    }
    Wand wand(settings, start);
    tell("calibrating screen " + name + " of " + start.path + "; " + wand.describe());
    std::array<Vec3, 3> corners{};
    for (std::size_t which = 0; which < corners.size(); ++which) {
        const std::string prompt = std::string("the ") + CORNERS[which] + " corner of screen " + name +
                                   ": point the wand's tip at it and press button 0";
        for (;;) {
            const auto pose = wand.take(prompt, [&](const Matrix& m) { return shown(wand.roomPoint(m)) + " m"; });
            if (!pose) return stoppedWithoutWriting(start);
            const Vec3 point = wand.roomPoint(*pose);
            if (const std::string why = problem(which, corners, point); !why.empty()) {
                say("refused " + shown(point) + ": " + why + "; point at the " + CORNERS[which] + " corner again");
                continue;
            }
            corners[which] = point;
            tell(std::string(CORNERS[which]) + " corner: " + shown(point) + " m");
            break;
        }
    }
    // Squared: the upper-left corner moved within the screen's plane until the edges meet at a right angle.
    const Vec3 right = scaled(minus(corners[1], corners[0]), 1 / length(minus(corners[1], corners[0])));
    const Vec3 up = minus(corners[2], corners[0]);
    const Vec3 squared = plus(corners[0], minus(up, scaled(right, dot(up, right))));
    const double moved = length(minus(squared, corners[2]));
    if (moved >= 0.001)
        tell("the upper-left corner moved by " + fixed(moved * 100, "%.1f") + " cm, to " + shown(squared) +
             " m, for a right angle");
    corners[2] = squared;
    for (Vec3& corner : corners) corner = rounded(corner, POINT_STEP);

    const std::string text = screenText(start, existing, name, corners);
    // The new text is read back before it is written: the corners as measured, nothing else gone.
    const Room after = loadRoom(text, start.path);
    const int screen = zoravovarRoomFindScreen(after.get(), name.c_str());
    std::array<double, 9> read{};
    zoravovarRoomScreenCorners(after.get(), screen, read.data());
    bool same =
        screen >= 0 && zoravovarRoomSensorCount(after.get()) == zoravovarRoomSensorCount(start.room.get()) &&
        zoravovarRoomScreenCount(after.get()) == zoravovarRoomScreenCount(start.room.get()) + (existing >= 0 ? 0 : 1);
    for (std::size_t k = 0; k < read.size(); ++k) same = same && read[k] == corners[k / 3][k % 3];
    if (!same)
        throw std::runtime_error(start.path + ": the edited file does not read back as written; nothing was written");
    writeInstallation(start.path, start.before, text);
    tell("wrote screen " + name + " to " + start.path);
    return 0;
}

}  // namespace

Role addScreen(CLI::App& app, const Settings& settings) {
    auto name = std::make_shared<std::string>();
    auto* command = app.add_subcommand("screen", "take a screen's lower-left, lower-right and upper-left corners");
    command->add_option("NAME", *name, "the screen's name in the installation file")
        ->required()
        ->check(CLI::Validator(nameProblem, "NAME"));
    return {command, [&settings, name] { return calibrateScreen(settings, *name); }};
}

}  // namespace trackd_calibrate
