// Real System V segments for tests, made under fresh keys, written the way trackd writes them, and removed.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>

#include "trackdLayout.h"

namespace testing_segments {

class Segment {
public:
    explicit Segment(std::size_t size, int mode = 0600) {
        std::random_device seed;
        std::uniform_int_distribution<int> keys(0x10000000, 0x6fffffff);
        for (int attempt = 0; attempt < 100 && id_ < 0; ++attempt) {
            key_ = keys(seed);
            id_ = shmget(key_, size, IPC_CREAT | IPC_EXCL | mode);
            if (id_ < 0 && errno != EEXIST) throw std::runtime_error(std::string("shmget: ") + std::strerror(errno));
        }
        if (id_ < 0) throw std::runtime_error("no free key for a test segment");
        void* address = shmat(id_, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            shmctl(id_, IPC_RMID, nullptr);
            throw std::runtime_error(std::string("shmat: ") + std::strerror(errno));
        }
        bytes_ = static_cast<unsigned char*>(address);
    }
    ~Segment() {
        shmdt(bytes_);
        shmctl(id_, IPC_RMID, nullptr);
    }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    int key() const { return key_; }

    // Frees the key now; the segment itself lives while anything is attached. Once every attachment by
    // key is made, this keeps a test that crashes from leaving its segment behind.
    void releaseKey() const { shmctl(id_, IPC_RMID, nullptr); }
    int id() const { return id_; }

    void putWord(std::size_t offset, std::uint32_t word) { std::memcpy(bytes_ + offset, &word, sizeof word); }
    void putInt(std::size_t offset, std::int32_t value) { putWord(offset, static_cast<std::uint32_t>(value)); }
    void putFloat(std::size_t offset, float value) { putWord(offset, std::bit_cast<std::uint32_t>(value)); }

private:
    int key_ = 0;
    int id_ = -1;
    unsigned char* bytes_ = nullptr;
};

struct Sensor {
    float x, y, z;
    float angleY, angleX, angleZ;
};

inline void putTrackerHeader(Segment& segment, std::uint32_t numSensors, std::uint32_t sensorOffset,
                             std::uint32_t sensorSize) {
    using namespace trackd_layout;
    segment.putWord(0, 0x7ac4d001);  // a word readers never use
    segment.putWord(NUM_SENSORS_AT, numSensors);
    segment.putWord(SENSOR_OFFSET_AT, sensorOffset);
    segment.putWord(SENSOR_SIZE_AT, sensorSize);
}

inline void putSensor(Segment& segment, std::size_t recordStart, const Sensor& sensor) {
    using namespace trackd_layout;
    segment.putFloat(recordStart + X_AT, sensor.x);
    segment.putFloat(recordStart + Y_AT, sensor.y);
    segment.putFloat(recordStart + Z_AT, sensor.z);
    segment.putFloat(recordStart + ANGLE_Y_AT, sensor.angleY);
    segment.putFloat(recordStart + ANGLE_X_AT, sensor.angleX);
    segment.putFloat(recordStart + ANGLE_Z_AT, sensor.angleZ);
}

inline void putControllerHeader(Segment& segment, std::uint32_t buttonOffset, std::uint32_t valuatorOffset,
                                std::uint32_t numButtons, std::uint32_t numValuators) {
    using namespace trackd_layout;
    segment.putWord(0, 0x7ac4d002);  // a word readers never use
    segment.putWord(BUTTON_OFFSET_AT, buttonOffset);
    segment.putWord(VALUATOR_OFFSET_AT, valuatorOffset);
    segment.putWord(NUM_BUTTONS_AT, numButtons);
    segment.putWord(NUM_VALUATORS_AT, numValuators);
}

// A key under which no segment exists.
inline int unusedKey() {
    const Segment gone(64);
    return gone.key();
}

// In a child process: become an unprivileged user, as root can attach any segment. False on failure.
inline bool dropPrivileges() { return geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0); }

struct ChildResult {
    int exitCode;
    std::string standardError;
};

// Runs `body` in a forked child whose standard error is captured; its result becomes the exit code.
inline ChildResult runInChild(const std::function<int()>& body) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], STDERR_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        _exit(body());
    }
    close(pipeEnds[1]);
    std::string captured;
    char buffer[4096];
    for (ssize_t n = 0; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        captured.append(buffer, static_cast<std::size_t>(n));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), captured};
}

}  // namespace testing_segments
