// The rotation of a pose matrix from a sensor's three angles, as trackdGetMatrix builds it. Internal: one
// object file, linked into the library and into every face that makes matrices from recorded angles, so
// that all run the same machine code and agree to the bit, NaN signs included (a copy compiled apart
// could order the operands of a product differently and so pass on the other factor's NaN).
#pragma once

namespace trackd_pose {

// Writes rows 0 to 2 and column 3 of the pose for the angles in degrees (Z x X x Y); row 3 keeps the
// position's place: elements [3][0..2] are 0 and [3][3] is 1, or what the products leave there when an
// angle is not finite.
void poseRotation(float matrix[4][4], float angleY, float angleX, float angleZ);

}  // namespace trackd_pose
