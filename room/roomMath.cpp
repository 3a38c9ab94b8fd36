// The room's math, in double precision and without fused multiply-adds, so that every face gets the same bits.
#include "roomMath.h"

#include <cmath>
#include <initializer_list>

namespace zoravovar_room {
namespace {

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

bool roomPose(const Installation& room, const float reader[16], Matrix& pose) {
    for (int i = 0; i < 16; ++i)
        if (!std::isfinite(reader[i])) return false;
    // The reader's row-vector matrix: a row vector v becomes v * R, so the column-vector rotation is R's
    // transpose: its column c (the sensor's axis c in the tracker's frame) is R's row c.
    const auto& a = room.axes;
    Matrix out{};
    for (int c = 0; c < 3; ++c) {
        const double x = reader[c * 4 + 0];
        const double y = reader[c * 4 + 1];
        const double z = reader[c * 4 + 2];
        for (int r = 0; r < 3; ++r) out[c * 4 + r] = x * a[0][r] + y * a[1][r] + z * a[2][r];
    }
    const double tx = reader[12];
    const double ty = reader[13];
    const double tz = reader[14];
    for (int r = 0; r < 3; ++r) out[12 + r] = room.origin[r] + room.unit * (tx * a[0][r] + ty * a[1][r] + tz * a[2][r]);
    out[15] = 1;
    pose = out;
    return true;
}

Vec3 transformPoint(const Matrix& pose, const Vec3& local) {
    Vec3 out{};
    for (int r = 0; r < 3; ++r)
        out[r] = pose[r] * local[0] + pose[4 + r] * local[1] + pose[8 + r] * local[2] + pose[12 + r];
    return out;
}

bool screenMatrices(const Screen& screen, const Vec3& eye, double near, double far, Matrix& view, Matrix& projection) {
    if (!(near > 0 && far > near && std::isfinite(far))) return false;
    const Vec3 va{screen.lowerLeft[0] - eye[0], screen.lowerLeft[1] - eye[1], screen.lowerLeft[2] - eye[2]};
    const Vec3 vb{screen.lowerRight[0] - eye[0], screen.lowerRight[1] - eye[1], screen.lowerRight[2] - eye[2]};
    const Vec3 vc{screen.upperLeft[0] - eye[0], screen.upperLeft[1] - eye[1], screen.upperLeft[2] - eye[2]};
    const double distance = -dot(va, screen.out);  // from the eye to the screen's plane
    if (!(distance > 0)) return false;
    const double scale = near / distance;
    const double left = dot(screen.right, va) * scale;
    const double right = dot(screen.right, vb) * scale;
    const double bottom = dot(screen.up, va) * scale;
    const double top = dot(screen.up, vc) * scale;

    // Written straight into the caller's scratch matrices: the C API copies them out only on success.
    Matrix& p = projection;  // glFrustum(left, right, bottom, top, near, far), each width divided once
    const double across = 1 / (right - left);
    const double up = 1 / (top - bottom);
    const double deep = 1 / (far - near);
    p.fill(0);
    p[0] = 2 * near * across;
    p[5] = 2 * near * up;
    p[8] = (right + left) * across;
    p[9] = (top + bottom) * up;
    p[10] = -(far + near) * deep;
    p[11] = -1;
    p[14] = -2 * far * near * deep;

    Matrix& v = view;  // rows right, up, out; then the eye moved to the origin
    for (int c = 0; c < 3; ++c) {
        v[c * 4 + 0] = screen.right[c];
        v[c * 4 + 1] = screen.up[c];
        v[c * 4 + 2] = screen.out[c];
        v[c * 4 + 3] = 0;
    }
    v[12] = -dot(screen.right, eye);
    v[13] = -dot(screen.up, eye);
    v[14] = -dot(screen.out, eye);
    v[15] = 1;
    // The rest are the screen's basis (finite, checked when the file was read), zeros and ones.
    for (const double e : {p[0], p[5], p[8], p[9], p[10], p[14], v[12], v[13], v[14]})
        if (!std::isfinite(e)) return false;
    return true;
}

}  // namespace zoravovar_room
