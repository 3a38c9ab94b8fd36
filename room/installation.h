// The installation as the parser leaves it and the math and the C API read it: plain values, checked once.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zoravovar_room {

using Vec3 = std::array<double, 3>;

enum class Role { head = 1, wand = 2, other = 3 };

struct Sensor {
    int index = 0;
    std::string name;
    Role role = Role::other;
    Vec3 leftEye{};   // a head's, in its own frame, metres
    Vec3 rightEye{};  // a head's
    Vec3 tip{};       // a wand's
};

struct Screen {
    std::string name;
    Vec3 lowerLeft{};
    Vec3 lowerRight{};
    Vec3 upperLeft{};
    // The basis the math uses, worked out once from the corners: right along the lower edge, up square to it
    // within the screen's plane, out of the screen towards the viewer.
    Vec3 right{};
    Vec3 up{};
    Vec3 out{};
};

struct Installation {
    double unit = 1.0;
    Vec3 origin{};
    std::array<Vec3, 3> axes{};  // the tracker's X, Y and Z axes as room directions
    std::vector<Sensor> sensors;
    std::vector<Screen> screens;
};

// The largest text parse() accepts, in bytes.
constexpr std::size_t MAX_TEXT_SIZE = std::size_t{1024} * 1024;

// Parses and checks an installation's text; `name` stands for the file in messages. On the first mistake
// returns false with `error` set to "NAME:LINE: field: what is wrong" and `out` untouched.
bool parse(std::string_view text, std::string_view name, Installation& out, std::string& error);

// Reads the file at `path` (at most MAX_TEXT_SIZE bytes) and parses it as parse() does.
bool load(const char* path, Installation& out, std::string& error);

}  // namespace zoravovar_room
