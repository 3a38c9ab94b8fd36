// trackd-sim's three motions: the default one, --pattern's checkable values and --static's fixed pose.
#pragma once

#include <cstdint>

#include "snapshot.h"

namespace trackd_sim {

// Sensor 0 is a head that sways, sensor 1 a hand that circles and turns about all three axes; further
// sensors circle at other heights and speeds. Buttons toggle at their own periods; valuators sweep.
trackd_tools::Snapshot motion(double t, std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators);

// The values of --pattern, from which a reader can check every word it reads: with k = frame mod 100,
// component c of sensor s's position is 1000s + 100c + k, its angles Y, X and Z are k, 2k and 3k
// degrees, button b holds 1000b + k and valuator v holds 1000v + k.
trackd_tools::Snapshot checkable(long long frame, std::uint32_t sensors, std::uint32_t buttons,
                                 std::uint32_t valuators);

// The fixed pose of --static: sensor i at (0.5 + i, 1.25 + i, -2 - i) with angles X, Y, Z of
// (10 + 15i, 20 + 10i, 30 + 5i) degrees; button i holds i + 1; valuator i holds 0.25i - 0.5.
trackd_tools::Snapshot staticPose(std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators);

}  // namespace trackd_sim
