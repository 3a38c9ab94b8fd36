// trackd-calibrate room: the room's origin, a point along its +X and a point along its +Y, each where the
// wand's tip is in the tracker's frame at a press of button 0, make the tracker's origin and axes in the
// installation file: the first point becomes the room's (0, 0, 0), the second lies on +X, the third in the XY
// plane towards +Y. The unit stays (or is --unit).
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"
#include "roles.h"

namespace trackd_calibrate {

namespace {

constexpr std::array<const char*, 3> POINTS = {"the room's origin", "a point along the room's +X",
                                               "a point along the room's +Y"};
constexpr std::array<const char*, 3> AXES = {"x_axis", "y_axis", "z_axis"};

std::string fixed(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct Frame {
    Vec3 origin{};
    std::array<Vec3, 3> axes{};  // the tracker's X, Y and Z axes as room directions
};

// Why point `which` (tracker coordinates) makes no frame with the points before it, or "".
std::string problem(std::size_t which, const std::array<Vec3, 3>& points, const Vec3& point, double unit) {
    if (!std::isfinite(length(point))) return "the wand's pose gives no place";
    if (which == 0) return {};
    const Vec3 offset = minus(point, points[0]);
    if (length(offset) * unit < SHORTEST_SPAN)
        return std::string("the point lies within ") + fixed(SHORTEST_SPAN * 100, "%.0f") +
               " cm of the origin: it gives no direction";
    if (which == 1) return {};
    const double angle = degreesBetween(minus(points[1], points[0]), offset);
    if (std::fabs(angle - 90) > RIGHT_ANGLE_TOLERANCE)
        return "the +X and +Y points make " + fixed(angle, "%.1f") + " degrees at the origin, more than " +
               fixed(RIGHT_ANGLE_TOLERANCE, "%.0f") + " from a right angle: they make no frame";
    return {};
}

Vec3 normalised(const Vec3& v) { return scaled(v, 1 / length(v)); }

// The frame in which points[0] is the room's origin, points[1] lies on +X and points[2] towards +Y.
Frame frameOf(const std::array<Vec3, 3>& points, double unit) {
    // The room's axes in tracker coordinates: rows of the rotation from the tracker's frame to the room's.
    const Vec3 ex = normalised(minus(points[1], points[0]));
    const Vec3 toY = minus(points[2], points[0]);
    const Vec3 ey = normalised(minus(toY, scaled(ex, dot(toY, ex))));
    const Vec3 ez = cross(ex, ey);
    const std::array<Vec3, 3> rows = {ex, ey, ez};
    Frame frame;
    for (std::size_t axis = 0; axis < 3; ++axis) frame.axes[axis] = {rows[0][axis], rows[1][axis], rows[2][axis]};
    // Made orthonormal and right-handed once more, then rounded far within the file's checks (1e-6).
    frame.axes[0] = normalised(frame.axes[0]);
    frame.axes[1] = normalised(minus(frame.axes[1], scaled(frame.axes[0], dot(frame.axes[1], frame.axes[0]))));
    frame.axes[2] = cross(frame.axes[0], frame.axes[1]);
    for (Vec3& axis : frame.axes) axis = rounded(axis, DIRECTION_STEP);
    for (std::size_t r = 0; r < 3; ++r) frame.origin[r] = -unit * dot(rows[r], points[0]);
    frame.origin = rounded(frame.origin, POINT_STEP);
    return frame;
}

int calibrateRoom(const Settings& settings, const std::optional<double>& unitGiven) {
    const Start start =
        begin(settings, "replaces the room's frame (the tracker's origin and axes) in it", unitGiven.value_or(1.0));
    double unit = 0;
    zoravovarRoomTracker(start.room.get(), &unit, nullptr, nullptr);
    if (unitGiven) unit = *unitGiven;
    Wand wand(settings, start);
    tell("calibrating the room's frame in " + start.path + " with the tracker's unit of " + numberText(unit) + " m; " +
         wand.describe());
    std::array<Vec3, 3> points{};
    for (std::size_t which = 0; which < points.size(); ++which) {
        const std::string prompt = std::string(POINTS[which]) + ": point the wand's tip at it and press button 0";
        for (;;) {
            const auto pose = wand.take(
                prompt, [&](const Matrix& m) { return shown(wand.trackerPoint(m, unit)) + " in the tracker's units"; });
            if (!pose) return stoppedWithoutWriting(start);
            const Vec3 point = wand.trackerPoint(*pose, unit);
            if (const std::string why = problem(which, points, point, unit); !why.empty()) {
                say("refused " + shown(point) + ": " + why + "; point at " + POINTS[which] + " again");
                continue;
            }
            points[which] = point;
            tell(std::string(POINTS[which]) + ": " + shown(point) + " in the tracker's units");
            break;
        }
    }
    const Frame frame = frameOf(points, unit);
    std::vector<Edit> edits;
    const auto edit = [&](const char* key, const std::string& value) {
        const auto span = valueSpan(start.text, "tracker", std::nullopt, key);
        if (!span) throw std::runtime_error(start.path + ": cannot find tracker." + key);
        edits.push_back({*span, value});
    };
    edit("origin", vectorText(frame.origin));
    for (std::size_t axis = 0; axis < 3; ++axis) edit(AXES[axis], vectorText(frame.axes[axis]));
    if (unitGiven) edit("unit", numberText(unit));
    const std::string text = applyEdits(start.text, edits);
    // The new text is read back before it is written: the frame as made, nothing else gone.
    const Room after = loadRoom(text, start.path);
    double readUnit = 0;
    Vec3 readOrigin{};
    std::array<double, 9> readAxes{};
    zoravovarRoomTracker(after.get(), &readUnit, readOrigin.data(), readAxes.data());
    bool same = readUnit == unit && readOrigin == frame.origin &&
                zoravovarRoomSensorCount(after.get()) == zoravovarRoomSensorCount(start.room.get()) &&
                zoravovarRoomScreenCount(after.get()) == zoravovarRoomScreenCount(start.room.get());
    for (std::size_t k = 0; k < readAxes.size(); ++k) same = same && readAxes[k] == frame.axes[k / 3][k % 3];
    if (!same)
        throw std::runtime_error(start.path + ": the edited file does not read back as written; nothing was written");
    writeInstallation(start.path, start.before, text);
    tell("wrote the room's frame to " + start.path + ": origin " + shown(frame.origin) + " m");
    return 0;
}

}  // namespace

Role addRoom(CLI::App& app, const Settings& settings) {
    auto unit = std::make_shared<std::optional<double>>();
    auto* command = app.add_subcommand("room", "take the room's origin, a point along +X and one along +Y");
    command
        ->add_option_function<double>(
            "--unit", [unit](double value) { *unit = value; },
            "metres per tracker unit, written to the file (default the file's, else 1; 0.3048 for feet)")
        ->type_name("METRES")
        ->check(trackd_tools::finiteRange(1e-9, 1e9));
    return {command, [&settings, unit] { return calibrateRoom(settings, *unit); }};
}

}  // namespace trackd_calibrate
