// trackd-sim's start poses in an installation's room: the file's head and wand sensors are the ones driven as
// head and wand, placed where a person stands in the room.
#pragma once

#include "driving.h"
#include "installation.h"

namespace trackd_sim {

// Where the head's eyes start in the room, and the wand in front of them, in metres (as the defaults in the
// tracker's coordinates are: the room's Y is up and its -Z ahead).
constexpr std::array<double, 3> ROOM_HEAD = {0.0, 1.7, 0.0};
constexpr std::array<double, 3> ROOM_WAND = {0.0, 1.3, -0.3};

// `given` with the head and wand sensors of `installation`'s roles (where it gives them) and, where the
// command line gave no --head or --wand, their start positions at ROOM_HEAD and ROOM_WAND in the tracker's
// coordinates; every sensor starts upright and facing the room's -Z, the others in a row along the room's X.
trackd_tools::StartPlaces startInRoom(const trackd_tools::Installation& installation, trackd_tools::StartPlaces given,
                                      bool headGiven, bool wandGiven);

}  // namespace trackd_sim
