// trackd-sim's segments and their writer.
#include "simSegments.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "segmentKeys.h"
#include "segmentMaking.h"

namespace trackd_sim {

using namespace trackd_tools;
using namespace trackd_layout;

SimSegment::SimSegment(const char* kind, int key, std::uint32_t size, int mode, bool replace) : kind_(kind), key_(key) {
    // Made in the simulator's own group, as shmget alone would, but through the tools' one rule.
    MadeSegment made = makeSegment(key, size, mode, getegid());
    if (made.id < 0 && made.error == EEXIST && replace) {
        const int old = shmget(key, 0, 0);
        if (old >= 0 && shmctl(old, IPC_RMID, nullptr) != 0) fail("cannot remove the segment under", errno);
        made = makeSegment(key, size, mode, getegid());
    }
    if (made.id < 0 && made.error == EEXIST)
        throw std::runtime_error(std::string("a segment already exists for the ") + kind + " key " + keyText(key) +
                                 "; stop what made it, or pass --replace");
    if (made.id < 0) fail("cannot create the segment under", made.error);
    id_ = made.id;
    void* address = shmat(id_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's failure value
        const int error = errno;
        shmctl(id_, IPC_RMID, nullptr);
        fail("cannot attach the segment under", error);
    }
    bytes_ = static_cast<unsigned char*>(address);
    size_ = size;
}

SimSegment::~SimSegment() {
    shmdt(bytes_);
    shmctl(id_, IPC_RMID, nullptr);
}

void SimSegment::fail(const char* what, int error) const {
    throw std::runtime_error(std::string(what) + " the " + kind_ + " key " + keyText(key_) + ": " +
                             std::strerror(error));
}

std::uint32_t trackerSize(std::uint32_t sensors) {
    return std::max(TRACKER_SEGMENT_SIZE, SENSOR_OFFSET + sensors * SENSOR_SIZE);
}
std::uint32_t buttonOffset(std::uint32_t valuators) { return VALUATOR_OFFSET + CONTROL_BYTES * valuators + BUTTON_GAP; }
std::uint32_t controllerSize(std::uint32_t buttons, std::uint32_t valuators) {
    return std::max(CONTROLLER_SEGMENT_SIZE, buttonOffset(valuators) + CONTROL_BYTES * buttons);
}

Simulator::Simulator(SimSegment& tracker, SimSegment& controller, std::uint32_t sensors, std::uint32_t buttons,
                     std::uint32_t valuators, bool driven)
    : tracker_(tracker), controller_(controller), sensors_(sensors), buttons_(buttons), valuators_(valuators) {
    if (driven) tracker_.put(trackd_tools::DRIVEN_MARK_AT, trackd_tools::DRIVEN_MARK);
    tracker_.put(NUM_SENSORS_AT, sensors);
    tracker_.put(SENSOR_OFFSET_AT, SENSOR_OFFSET);
    tracker_.put(SENSOR_SIZE_AT, SENSOR_SIZE);
    controller_.put(BUTTON_OFFSET_AT, buttonOffset(valuators));
    controller_.put(VALUATOR_OFFSET_AT, VALUATOR_OFFSET);
    controller_.put(NUM_BUTTONS_AT, buttons);
    controller_.put(NUM_VALUATORS_AT, valuators);
}

void Simulator::write(const Snapshot& snapshot) {
    ++frame_;
    const auto time = static_cast<float>(snapshot.time);
    for (std::uint32_t i = 0; i < sensors_; ++i) {
        const SensorState& s = snapshot.sensors[i];
        const std::uint32_t at = SENSOR_OFFSET + i * SENSOR_SIZE;
        tracker_.put(at + X_AT, s.position[0]);
        tracker_.put(at + Y_AT, s.position[1]);
        tracker_.put(at + Z_AT, s.position[2]);
        tracker_.put(at + ANGLE_Y_AT, s.angles[1]);  // angles[] holds X, Y, Z
        tracker_.put(at + ANGLE_X_AT, s.angles[0]);
        tracker_.put(at + ANGLE_Z_AT, s.angles[2]);
        tracker_.put(at + RECORD_FRAME_AT, frame_);
        tracker_.put(at + RECORD_TIME_AT, time);
    }
    for (std::uint32_t i = 0; i < valuators_; ++i)
        controller_.put(VALUATOR_OFFSET + CONTROL_BYTES * i, snapshot.valuators[i]);
    for (std::uint32_t i = 0; i < buttons_; ++i)
        controller_.put(buttonOffset(valuators_) + CONTROL_BYTES * i, snapshot.buttons[i]);
    tracker_.put(FRAME_COUNTER_AT, frame_);
    controller_.put(FRAME_COUNTER_AT, frame_);
}

}  // namespace trackd_sim
