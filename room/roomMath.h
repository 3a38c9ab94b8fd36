// The room's math: sensor poses from the reader's matrices, eyes, and each screen's view and projection.
#pragma once

#include <array>

#include "installation.h"

namespace zoravovar_room {

// Column-vector 4x4 matrices stored column after column: element [column * 4 + row].
using Matrix = std::array<double, 16>;

// The room pose (sensor frame in metres to room) for the reader's row-vector matrix; false when an element of
// the reader's matrix is not finite.
bool roomPose(const Installation& room, const float reader[16], Matrix& pose);

// Where `local` (metres, in the frame `pose` maps from) lies in the room.
Vec3 transformPoint(const Matrix& pose, const Vec3& local);

// The view and off-axis projection matrices for an eye looking at a screen; false when the eye is not in front
// of the screen's plane, near and far are not 0 < near < far, or a result is not finite. On false, `view` and
// `projection` may hold anything.
bool screenMatrices(const Screen& screen, const Vec3& eye, double near, double far, Matrix& view, Matrix& projection);

}  // namespace zoravovar_room
