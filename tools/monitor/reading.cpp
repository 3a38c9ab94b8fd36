// trackd-monitor's reading of the segments.
#include "reading.h"

#include "trackdLayout.h"
#include "zoravoVAR.h"

namespace trackd_monitor {

using namespace trackd_tools;
using namespace trackd_layout;

bool sameSensors(const Snapshot& a, const Snapshot& b) { return sameBits(a.sensors, b.sensors); }

bool sameControls(const Snapshot& a, const Snapshot& b) {
    return a.buttons == b.buttons && sameBits(a.valuators, b.valuators);
}

void readSensors(SegmentFollower& tracker, std::uint32_t maxSensors, Snapshot& into) {
    into.sensors.clear();
    if (!tracker.attached()) return;
    const void* base = tracker.handle();
    const std::uint32_t claimed = loadWord(base, NUM_SENSORS_AT);
    const std::uint32_t count =
        tracker.fitting("sensors", claimed,
                        entriesThatFit(claimed, loadWord(base, SENSOR_OFFSET_AT), loadWord(base, SENSOR_SIZE_AT),
                                       SENSOR_BYTES_READ, tracker.size()));
    for (std::uint32_t i = 0; i < count && i < maxSensors; ++i) {
        SensorState state;
        if (trackdGetPosition(base, static_cast<int>(i), state.position.data()) == 0 ||
            trackdGetEulerAngles(base, static_cast<int>(i), state.angles.data()) == 0)
            break;
        into.sensors.push_back(state);
    }
}

void readControls(SegmentFollower& controller, Snapshot& into) {
    into.buttons.clear();
    into.valuators.clear();
    if (!controller.attached()) return;
    const void* base = controller.handle();
    const std::uint32_t claimedButtons = loadWord(base, NUM_BUTTONS_AT);
    const std::uint32_t claimedValuators = loadWord(base, NUM_VALUATORS_AT);
    const std::uint32_t buttons = controller.fitting("buttons", claimedButtons,
                                                     entriesThatFit(claimedButtons, loadWord(base, BUTTON_OFFSET_AT),
                                                                    CONTROL_BYTES, CONTROL_BYTES, controller.size()));
    const std::uint32_t valuators =
        controller.fitting("valuators", claimedValuators,
                           entriesThatFit(claimedValuators, loadWord(base, VALUATOR_OFFSET_AT), CONTROL_BYTES,
                                          CONTROL_BYTES, controller.size()));
    for (std::uint32_t i = 0; i < buttons && i < MAX_CONTROLS_SHOWN; ++i)
        into.buttons.push_back(trackdGetButton(base, static_cast<int>(i)));
    for (std::uint32_t i = 0; i < valuators && i < MAX_CONTROLS_SHOWN; ++i)
        into.valuators.push_back(trackdGetValuator(base, static_cast<int>(i)));
}

}  // namespace trackd_monitor
