// trackd-sim's segments and their writer.
#include "simSegments.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "segmentKeys.h"

namespace trackd_sim {

using namespace trackd_tools;

SimSegment::SimSegment(const char* kind, int key, std::uint32_t size, int mode, bool replace) : kind_(kind), key_(key) {
    id_ = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
    if (id_ < 0 && errno == EEXIST && replace) {
        const int old = shmget(key, 0, 0);
        if (old >= 0 && shmctl(old, IPC_RMID, nullptr) != 0) fail("cannot remove the segment under");
        id_ = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
    }
    if (id_ < 0 && errno == EEXIST)
        throw std::runtime_error(std::string("a segment already exists for the ") + kind + " key " + keyText(key) +
                                 "; stop what made it, or pass --replace");
    if (id_ < 0) fail("cannot create the segment under");
    void* address = shmat(id_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's failure value
        shmctl(id_, IPC_RMID, nullptr);
        fail("cannot attach the segment under");
    }
    bytes_ = static_cast<unsigned char*>(address);
    size_ = size;
}

SimSegment::~SimSegment() {
    shmdt(bytes_);
    shmctl(id_, IPC_RMID, nullptr);
}

void SimSegment::fail(const char* what) const {
    throw std::runtime_error(std::string(what) + " the " + kind_ + " key " + keyText(key_) + ": " +
                             std::strerror(errno));
}

std::uint32_t trackerSize(std::uint32_t sensors) {
    return std::max(TRACKER_MINIMUM, SENSOR_OFFSET + sensors * SENSOR_SIZE);
}
std::uint32_t buttonOffset(std::uint32_t valuators) { return VALUATOR_OFFSET + 4 * valuators + BUTTON_GAP; }
std::uint32_t controllerSize(std::uint32_t buttons, std::uint32_t valuators) {
    return std::max(CONTROLLER_MINIMUM, buttonOffset(valuators) + 4 * buttons);
}

Simulator::Simulator(SimSegment& tracker, SimSegment& controller, std::uint32_t sensors, std::uint32_t buttons,
                     std::uint32_t valuators)
    : tracker_(tracker), controller_(controller), sensors_(sensors), buttons_(buttons), valuators_(valuators) {
    tracker_.put(4, sensors);
    tracker_.put(8, SENSOR_OFFSET);
    tracker_.put(12, SENSOR_SIZE);
    controller_.put(4, buttonOffset(valuators));
    controller_.put(8, VALUATOR_OFFSET);
    controller_.put(12, buttons);
    controller_.put(16, valuators);
}

void Simulator::write(const Snapshot& snapshot) {
    ++frame_;
    const auto time = static_cast<float>(snapshot.time);
    for (std::uint32_t i = 0; i < sensors_; ++i) {
        const SensorState& s = snapshot.sensors[i];
        const std::uint32_t at = SENSOR_OFFSET + i * SENSOR_SIZE;
        tracker_.put(at + 0, s.position[0]);
        tracker_.put(at + 4, s.position[1]);
        tracker_.put(at + 8, s.position[2]);
        tracker_.put(at + 12, s.angles[1]);  // the record stores Y, X, Z
        tracker_.put(at + 16, s.angles[0]);
        tracker_.put(at + 20, s.angles[2]);
        tracker_.put(at + 24, frame_);
        tracker_.put(at + 28, time);
    }
    for (std::uint32_t i = 0; i < valuators_; ++i) controller_.put(VALUATOR_OFFSET + 4 * i, snapshot.valuators[i]);
    for (std::uint32_t i = 0; i < buttons_; ++i) controller_.put(buttonOffset(valuators_) + 4 * i, snapshot.buttons[i]);
    tracker_.put(0, frame_);
    controller_.put(0, frame_);
}

}  // namespace trackd_sim
