// The installation file's one parser: TOML through toml++, every key and value checked, the first mistake reported
// as "FILE:LINE: field: what is wrong" and the whole file refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "installation.h"

#include "configuredToml.h"

namespace zoravovar_room {
namespace {

// How far the tracker's axes may be from orthonormal: lengths from 1 and dot products from 0.
constexpr double AXIS_TOLERANCE = 1e-6;
// How far from square a screen's corners may be: the cosine of the angle between its lower and left edges.
constexpr double SQUARENESS = 1e-3;
constexpr std::size_t MAX_NAME_BYTES = 64;
// toml++ recurses once per level of nested tables while it parses and while it frees them, and bounds only
// arrays and inline tables (TOML_MAX_NESTED_VALUES); dotted keys and table headers nest without a bound. Each
// level a line adds needs a '.', '[' or '{' on that line, and a value's depth is what its table's header line adds
// plus what each line of its chain of nested values adds (an array may span lines, and hold inline tables with
// dotted keys): at most (1 + TOML_MAX_NESTED_VALUES) * MAX_LEVELS_PER_LINE levels, a few hundred, which even a
// small thread's stack holds.
constexpr std::size_t MAX_LEVELS_PER_LINE = 64;

struct Refusal {
    std::string message;
};

std::string lineText(const toml::source_region& at) { return std::to_string(at.begin.line); }

class Checker {
public:
    explicit Checker(std::string_view name) : name_(name) {}

    [[noreturn]] void refuse(const toml::source_region& at, const std::string& field, const std::string& what) const {
        throw Refusal{std::string(name_) + ":" + lineText(at) + ": " + field + ": " + what};
    }

    // Refuses the first key of `table` that is not among `known`.
    void onlyKeys(const toml::table& table, const std::string& prefix, std::initializer_list<std::string_view> known,
                  const char* what = "unknown key") const {
        for (auto&& [key, node] : table)
            if (std::find(known.begin(), known.end(), key.str()) == known.end())
                refuse(key.source(), prefix + printable(key.str()), what);
    }

    const toml::node& required(const toml::table& table, const std::string& prefix, std::string_view key) const {
        const toml::node* node = table.get(key);
        if (node == nullptr) refuse(table.source(), prefix + std::string(key), "missing");
        return *node;
    }

    double number(const toml::node& node, const std::string& field) const {
        double value = 0;
        if (const auto* i = node.as_integer()) {
            value = static_cast<double>(i->get());
        } else if (const auto* f = node.as_floating_point()) {
            value = f->get();
        } else {
            refuse(node.source(), field, "not a number");
        }
        if (!std::isfinite(value)) refuse(node.source(), field, "not a finite number");
        return value;
    }

    Vec3 vector(const toml::node& node, const std::string& field) const {
        const toml::array* array = node.as_array();
        if (array == nullptr || array->size() != 3) refuse(node.source(), field, "not an array of three numbers");
        Vec3 v{};
        for (std::size_t i = 0; i < 3; ++i) v[i] = number(*array->get(i), field + "[" + std::to_string(i) + "]");
        return v;
    }

    std::string name(const toml::node& node, const std::string& field) const {
        const auto* s = node.as_string();
        if (s == nullptr) refuse(node.source(), field, "not a string");
        const std::string& value = s->get();
        // Escapes (\u00e9, \u001b) reach past the file's own ASCII: names stay printable ASCII.
        const bool unprintable = std::any_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f;
        });
        if (value.empty() || value.size() > MAX_NAME_BYTES || unprintable)
            refuse(node.source(), field, "not a name of 1 to 64 printable ASCII characters");
        return value;
    }

    const toml::table& table(const toml::node& node, const std::string& field) const {
        const toml::table* t = node.as_table();
        if (t == nullptr) refuse(node.source(), field, "not a table");
        return *t;
    }

    // Keys come from the input: shown with control characters replaced, and cut short.
    static std::string printable(std::string_view text) {
        std::string out;
        for (char c : text.substr(0, MAX_NAME_BYTES))
            out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
        if (text.size() > MAX_NAME_BYTES) out += "...";
        return out;
    }

private:
    std::string_view name_;
};

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

void readTracker(const Checker& check, const toml::table& root, Installation& room) {
    const toml::table& tracker = check.table(check.required(root, "", "tracker"), "tracker");
    check.onlyKeys(tracker, "tracker.", {"unit", "origin", "x_axis", "y_axis", "z_axis"});
    const toml::node& unit = check.required(tracker, "tracker.", "unit");
    room.unit = check.number(unit, "tracker.unit");
    if (!(room.unit > 0)) check.refuse(unit.source(), "tracker.unit", "not a positive length in metres");
    room.origin = check.vector(check.required(tracker, "tracker.", "origin"), "tracker.origin");
    static constexpr const char* AXES[] = {"x_axis", "y_axis", "z_axis"};
    const toml::node* nodes[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        nodes[i] = &check.required(tracker, "tracker.", AXES[i]);
        room.axes[i] = check.vector(*nodes[i], std::string("tracker.") + AXES[i]);
        if (!(std::fabs(dot(room.axes[i], room.axes[i]) - 1) <= AXIS_TOLERANCE))
            check.refuse(nodes[i]->source(), std::string("tracker.") + AXES[i], "not of length 1 (within 1e-6)");
        for (std::size_t j = 0; j < i; ++j)
            if (!(std::fabs(dot(room.axes[i], room.axes[j])) <= AXIS_TOLERANCE))
                check.refuse(nodes[i]->source(), std::string("tracker.") + AXES[i],
                             std::string("not perpendicular to ") + AXES[j] + " (within 1e-6)");
    }
    if (!(dot(cross(room.axes[0], room.axes[1]), room.axes[2]) > 0))
        check.refuse(nodes[2]->source(), "tracker.z_axis",
                     "the axes are left-handed: z_axis must be the cross product of x_axis and y_axis");
}

// An array of tables ([[sensor]], [[screen]]), or none.
const toml::array* tables(const Checker& check, const toml::table& root, std::string_view key) {
    const toml::node* node = root.get(key);
    if (node == nullptr) return nullptr;
    const toml::array* array = node->as_array();
    if (array == nullptr || !array->is_array_of_tables())
        check.refuse(node->source(), std::string(key),
                     "not an array of tables: write each as [[" + std::string(key) + "]]");
    return array;
}

void readSensors(const Checker& check, const toml::table& root, Installation& room) {
    const toml::array* sensors = tables(check, root, "sensor");
    if (sensors == nullptr) return;
    std::map<std::string, std::size_t> names;
    std::map<int, std::size_t> indices;
    for (std::size_t n = 0; n < sensors->size(); ++n) {
        const toml::table& t = *sensors->get(n)->as_table();
        const std::string prefix = "sensor[" + std::to_string(n) + "].";
        check.onlyKeys(t, prefix, {"index", "name", "role", "left_eye", "right_eye", "tip"});
        Sensor sensor;
        const toml::node& index = check.required(t, prefix, "index");
        const auto* integer = index.as_integer();
        if (integer == nullptr || integer->get() < 0 || integer->get() > INT_MAX)
            check.refuse(index.source(), prefix + "index", "not a sensor index from 0 to 2147483647");
        sensor.index = static_cast<int>(integer->get());
        const toml::node& name = check.required(t, prefix, "name");
        sensor.name = check.name(name, prefix + "name");
        const toml::node& role = check.required(t, prefix, "role");
        const auto* roleText = role.as_string();
        if (roleText != nullptr && roleText->get() == "head") {
            sensor.role = Role::head;
            check.onlyKeys(t, prefix, {"index", "name", "role", "left_eye", "right_eye"}, "not a key of a head");
            sensor.leftEye = check.vector(check.required(t, prefix, "left_eye"), prefix + "left_eye");
            sensor.rightEye = check.vector(check.required(t, prefix, "right_eye"), prefix + "right_eye");
        } else if (roleText != nullptr && roleText->get() == "wand") {
            sensor.role = Role::wand;
            check.onlyKeys(t, prefix, {"index", "name", "role", "tip"}, "not a key of a wand");
            sensor.tip = check.vector(check.required(t, prefix, "tip"), prefix + "tip");
        } else if (roleText != nullptr && roleText->get() == "other") {
            sensor.role = Role::other;
            check.onlyKeys(t, prefix, {"index", "name", "role"}, "not a key of a sensor of role other");
        } else {
            check.refuse(role.source(), prefix + "role", "not head, wand or other");
        }
        // Looked up, not compared pairwise: a file of many sensors costs no more than its length.
        if (const auto [at, fresh] = names.try_emplace(sensor.name, n); !fresh)
            check.refuse(name.source(), prefix + "name",
                         "\"" + sensor.name + "\" is sensor[" + std::to_string(at->second) + "]'s name too");
        if (const auto [at, fresh] = indices.try_emplace(sensor.index, n); !fresh)
            check.refuse(index.source(), prefix + "index",
                         std::to_string(sensor.index) + " is sensor[" + std::to_string(at->second) + "]'s index too");
        room.sensors.push_back(std::move(sensor));
    }
}

void readScreens(const Checker& check, const toml::table& root, Installation& room) {
    const toml::array* screens = tables(check, root, "screen");
    if (screens == nullptr) return;
    std::map<std::string, std::size_t> names;
    for (std::size_t n = 0; n < screens->size(); ++n) {
        const toml::table& t = *screens->get(n)->as_table();
        const std::string prefix = "screen[" + std::to_string(n) + "].";
        check.onlyKeys(t, prefix, {"name", "lower_left", "lower_right", "upper_left"});
        Screen screen;
        const toml::node& name = check.required(t, prefix, "name");
        screen.name = check.name(name, prefix + "name");
        screen.lowerLeft = check.vector(check.required(t, prefix, "lower_left"), prefix + "lower_left");
        const toml::node& lowerRight = check.required(t, prefix, "lower_right");
        screen.lowerRight = check.vector(lowerRight, prefix + "lower_right");
        const toml::node& upperLeft = check.required(t, prefix, "upper_left");
        screen.upperLeft = check.vector(upperLeft, prefix + "upper_left");
        // The same checks as the Java 3D device's TrackedScreen makes.
        const Vec3 across = minus(screen.lowerRight, screen.lowerLeft);
        const Vec3 up = minus(screen.upperLeft, screen.lowerLeft);
        const double acrossLength = std::sqrt(dot(across, across));
        const double upLength = std::sqrt(dot(up, up));
        if (!(acrossLength > 0 && std::isfinite(acrossLength)))
            check.refuse(lowerRight.source(), prefix + "lower_right",
                         "the lower edge is empty or not finite: the corners make no rectangle");
        if (!(upLength > 0 && std::isfinite(upLength)))
            check.refuse(upperLeft.source(), prefix + "upper_left",
                         "the left edge is empty or not finite: the corners make no rectangle");
        const double cosine = dot(across, up) / (acrossLength * upLength);
        if (!(std::fabs(cosine) < SQUARENESS)) {
            char degrees[32];
            std::snprintf(degrees, sizeof degrees, "%.2f", std::acos(std::clamp(cosine, -1.0, 1.0)) * 180 / M_PI);
            check.refuse(upperLeft.source(), prefix + "upper_left",
                         std::string("the lower and left edges meet at ") + degrees +
                             " degrees, not at a right angle: give the lower-left, lower-right and upper-left corners");
        }
        screen.right = scaled(across, 1 / acrossLength);
        const Vec3 normal = cross(across, up);
        screen.out = scaled(normal, 1 / std::sqrt(dot(normal, normal)));
        screen.up = cross(screen.out, screen.right);
        if (const auto [at, fresh] = names.try_emplace(screen.name, n); !fresh)
            check.refuse(name.source(), prefix + "name",
                         "\"" + screen.name + "\" is screen[" + std::to_string(at->second) + "]'s name too");
        room.screens.push_back(std::move(screen));
    }
}

// Replaces control characters in a message with '?', so that a message never moves a terminal's cursor.
std::string printableMessage(std::string message) {
    for (char& c : message)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return message;
}

}  // namespace

bool parse(std::string_view text, std::string_view name, Installation& out, std::string& error) {
    const Checker check(name);
    try {
        if (text.size() > MAX_TEXT_SIZE)
            throw Refusal{std::string(name) + ": larger than " + std::to_string(MAX_TEXT_SIZE) + " bytes"};
        std::size_t line = 1;
        std::size_t levels = 0;
        for (char c : text) {
            if (c == '\n') {
                ++line;
                levels = 0;
            } else if ((c == '.' || c == '[' || c == '{') && ++levels > MAX_LEVELS_PER_LINE) {
                throw Refusal{std::string(name) + ":" + std::to_string(line) + ": the line holds more than " +
                              std::to_string(MAX_LEVELS_PER_LINE) + " of '.', '[' and '{', which nest too deep"};
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                // toml++ 3.3 reaches __builtin_unreachable() when it asks whether some letters (U+00A1 to U+0499
                // among them) are whitespace: the file is ASCII, which also keeps names plain in every message.
                throw Refusal{std::string(name) + ":" + std::to_string(line) +
                              ": a character outside ASCII: the installation file is written in ASCII"};
            }
        }
        toml::parse_result result = toml::parse(text, name);
        if (result.failed())
            throw Refusal{std::string(name) + ":" + lineText(result.error().source()) + ": " +
                          std::string(result.error().description())};
        const toml::table& root = result.table();
        check.onlyKeys(root, "", {"tracker", "sensor", "screen"});
        Installation room;
        readTracker(check, root, room);
        readSensors(check, root, room);
        readScreens(check, root, room);
        out = std::move(room);
        return true;
    } catch (const Refusal& refusal) {
        error = printableMessage(refusal.message);
    } catch (const std::bad_alloc&) {
        error = printableMessage(std::string(name) + ": out of memory");
    }
    return false;
}

bool load(const char* path, Installation& out, std::string& error) {
    const auto failed = [&](const char* what, int code) {
        error = printableMessage(std::string(path) + ": " + what + ": " + std::generic_category().message(code));
        return false;
    };
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return failed("cannot open", errno);
    std::string text;
    text.resize(MAX_TEXT_SIZE + 1);
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            return failed("cannot read", code);
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(have);
    return parse(text, path, out, error);
}

}  // namespace zoravovar_room
