// The pose matrix's rotation: sines and cosines of the three angles, multiplied Z x X x Y.
#include "matrixRotation.h"

#include <cmath>
#include <cstring>

#include "trackdLayout.h"

namespace trackd_pose {

namespace {

constexpr float IDENTITY_MATRIX[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

// target = left x target, each element summed in double in the order k = 0..3 and rounded once. The
// scratch copy of the right-hand factor lives on this call's stack, so concurrent calls are safe.
void matrixMult(float target[4][4], const float left[4][4]) {
    float Mright[4][4];
    std::memcpy(Mright, target, sizeof Mright);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            const double sum =
                static_cast<double>(left[i][0]) * Mright[0][j] + static_cast<double>(left[i][1]) * Mright[1][j] +
                static_cast<double>(left[i][2]) * Mright[2][j] + static_cast<double>(left[i][3]) * Mright[3][j];
            target[i][j] = static_cast<float>(sum);
        }
    }
}

struct SineCosine {
    float s;
    float c;
};

SineCosine sineCosine(float degrees) {
    const float radians = degrees * trackd_layout::DEG_TO_RAD;
    return {static_cast<float>(std::sin(double{radians})), static_cast<float>(std::cos(double{radians}))};
}

// Sets matrix to Z x X x Y, built and multiplied exactly as written: Y first, then X x Y, then Z x (X x Y).
void composeRotations(float matrix[4][4], SineCosine y, SineCosine x, SineCosine z) {
    std::memcpy(matrix, IDENTITY_MATRIX, sizeof IDENTITY_MATRIX);
    matrix[0][0] = y.c;
    matrix[0][2] = -y.s;
    matrix[2][0] = y.s;
    matrix[2][2] = y.c;

    float rotation[4][4];
    std::memcpy(rotation, IDENTITY_MATRIX, sizeof rotation);
    rotation[1][1] = x.c;
    rotation[1][2] = x.s;
    rotation[2][1] = -x.s;
    rotation[2][2] = x.c;
    matrixMult(matrix, rotation);

    std::memcpy(rotation, IDENTITY_MATRIX, sizeof rotation);
    rotation[0][0] = z.c;
    rotation[0][1] = z.s;
    rotation[1][0] = -z.s;
    rotation[1][1] = z.c;
    matrixMult(matrix, rotation);
}

// An element of a product whose other terms are zeros, among them an exact +0 (0 x 0, 0 x 1 or 1 x 0):
// the remaining products summed in double and rounded once, as in matrixMult. The + 0.0 does what the
// +0 term does there: an exact -0 sum becomes +0, everything else is left as it is.
float oneTerm(float a, float b) { return static_cast<float>(static_cast<double>(a) * b + 0.0); }

float twoTerms(float a, float b, float c, float d) {
    return static_cast<float>((static_cast<double>(a) * b + static_cast<double>(c) * d) + 0.0);
}

// The same result as composeRotations, to the bit, when every sine and cosine is finite. Then a term
// whose factor is a 0 of a rotation matrix is a signed zero, which leaves a nonzero partial sum as it
// is; every element of both products has such a term that is an exact +0, and nothing else of the
// element is left but the one or two terms below. With a NaN the zeros would not be zeros: callers
// take composeRotations then.
void composeFiniteRotations(float matrix[4][4], SineCosine y, SineCosine x, SineCosine z) {
    // X x Y; the elements not named are +0, and [3][3] is 1.
    const float t0[3] = {oneTerm(1, y.c), 0, oneTerm(1, -y.s)};
    const float t1[3] = {oneTerm(x.s, y.s), oneTerm(x.c, 1), oneTerm(x.s, y.c)};
    const float t2[3] = {oneTerm(x.c, y.s), oneTerm(-x.s, 1), oneTerm(x.c, y.c)};
    // Z x (X x Y): rows 0 and 1 mix rows 0 and 1 of X x Y, row 2 keeps its row 2, row 3 stays (0, 0, 0, 1).
    for (int j = 0; j < 3; ++j) {
        matrix[0][j] = twoTerms(z.c, t0[j], z.s, t1[j]);
        matrix[1][j] = twoTerms(-z.s, t0[j], z.c, t1[j]);
        matrix[2][j] = oneTerm(1, t2[j]);
        matrix[3][j] = 0;
    }
    matrix[0][3] = 0;
    matrix[1][3] = 0;
    matrix[2][3] = 0;
    matrix[3][3] = 1;
}

}  // namespace

void poseRotation(float matrix[4][4], float angleY, float angleX, float angleZ) {
    const SineCosine y = sineCosine(angleY);
    const SineCosine x = sineCosine(angleX);
    const SineCosine z = sineCosine(angleZ);
    if (std::isnan(y.s + y.c + x.s + x.c + z.s + z.c))
        composeRotations(matrix, y, x, z);
    else
        composeFiniteRotations(matrix, y, x, z);
}

}  // namespace trackd_pose
