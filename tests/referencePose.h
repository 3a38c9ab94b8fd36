// The pose matrix written out independently of the library: Z x (X x Y), double sums rounded once.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "trackdLayout.h"

namespace testing_reference {

using Matrix = std::array<std::array<float, 4>, 4>;

inline Matrix product(const Matrix& left, const Matrix& right) {
    Matrix out{};
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
            double sum = static_cast<double>(left[i][0]) * right[0][j];
            for (std::size_t k = 1; k < 4; ++k) sum += static_cast<double>(left[i][k]) * right[k][j];
            out[i][j] = static_cast<float>(sum);
        }
    return out;
}

// Angles in degrees as a sensor record stores them; the position goes into row 3, which otherwise keeps
// what the products left there ([3][3] is NaN once an angle is NaN).
inline Matrix expectedPose(float angleY, float angleX, float angleZ, float x, float y, float z) {
    const float degreeFactor = trackd_layout::DEG_TO_RAD;
    const auto sine = [&](float degrees) { return static_cast<float>(std::sin(double{degrees * degreeFactor})); };
    const auto cosine = [&](float degrees) { return static_cast<float>(std::cos(double{degrees * degreeFactor})); };
    const float sy = sine(angleY), cy = cosine(angleY);
    const float sx = sine(angleX), cx = cosine(angleX);
    const float sz = sine(angleZ), cz = cosine(angleZ);
    const Matrix rotationY{{{cy, 0, -sy, 0}, {0, 1, 0, 0}, {sy, 0, cy, 0}, {0, 0, 0, 1}}};
    const Matrix rotationX{{{1, 0, 0, 0}, {0, cx, sx, 0}, {0, -sx, cx, 0}, {0, 0, 0, 1}}};
    const Matrix rotationZ{{{cz, sz, 0, 0}, {-sz, cz, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
    Matrix pose = product(rotationZ, product(rotationX, rotationY));
    pose[3][0] = x;
    pose[3][1] = y;
    pose[3][2] = z;
    return pose;
}

}  // namespace testing_reference
