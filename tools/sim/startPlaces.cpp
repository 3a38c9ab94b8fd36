// trackd-sim's start poses in the room.
#include "startPlaces.h"

#include <cstdint>
#include <limits>

namespace trackd_sim {

using namespace trackd_tools;

namespace {

std::array<float, 3> rounded(const std::array<double, 3>& point) {
    return {static_cast<float>(point[0]), static_cast<float>(point[1]), static_cast<float>(point[2])};
}

}  // namespace

StartPlaces startInRoom(const Installation& installation, StartPlaces given, bool headGiven, bool wandGiven) {
    constexpr std::uint32_t NONE = std::numeric_limits<std::uint32_t>::max();
    const int head = installation.indexOfRole(ZORAVOVAR_ROOM_HEAD);
    const int wand = installation.indexOfRole(ZORAVOVAR_ROOM_WAND);
    // A role the file does not give stays with its default sensor, unless the other role took that one.
    given.headSensor = head >= 0 ? static_cast<std::uint32_t>(head) : wand == 0 ? NONE : 0;
    given.wandSensor = wand >= 0 ? static_cast<std::uint32_t>(wand) : given.headSensor == 1 ? NONE : 1;
    if (!headGiven) given.head = rounded(installation.trackerPoint(ROOM_HEAD));
    if (!wandGiven) given.wand = rounded(installation.trackerPoint(ROOM_WAND));
    const std::array<double, 3> from = installation.trackerPoint({0, 0, 0});
    const std::array<double, 3> along = installation.trackerPoint({SENSOR_SPACING, 0, 0});
    given.spacing = rounded({along[0] - from[0], along[1] - from[1], along[2] - from[2]});
    given.angles = rounded(trackerAngles(installation.trackerRotationOfRoomAxes()));
    return given;
}

}  // namespace trackd_sim
