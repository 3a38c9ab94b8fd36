// Fuzzes every query against real segments whose headers, contents, sizes, handles and indices come from the input.
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../referencePose.h"
#include "trackdLayout.h"
#include "zoravoVAR.h"

// Under a sanitizer, its reports go to the real standard error; replayed without one, there is none.
extern "C" [[gnu::weak]] void __sanitizer_set_report_fd(void* fd);

namespace {

using namespace trackd_layout;

// Segment sizes at and just above the minimums, and a few larger ones.
constexpr std::size_t TRACKER_SIZES[] = {TRACKER_SEGMENT_SIZE,
                                         TRACKER_SEGMENT_SIZE + 1,
                                         TRACKER_SEGMENT_SIZE + 3,
                                         TRACKER_SEGMENT_SIZE + 4,
                                         TRACKER_SEGMENT_SIZE + 24,
                                         4096,
                                         5000,
                                         65536};
constexpr std::size_t CONTROLLER_SIZES[] = {CONTROLLER_SEGMENT_SIZE,      CONTROLLER_SEGMENT_SIZE + 1,
                                            CONTROLLER_SEGMENT_SIZE + 3,  CONTROLLER_SEGMENT_SIZE + 4,
                                            CONTROLLER_SEGMENT_SIZE + 20, 4096};

struct Attached {
    void* handle;
    std::size_t size;
};

std::vector<Attached> trackers;
std::vector<Attached> controllers;
int realStderr = -1;
int captured = -1;

[[noreturn]] void die(const char* what) {
    if (realStderr >= 0) dup2(realStderr, STDERR_FILENO);
    std::fprintf(stderr, "readerFuzz: %s\n", what);
    std::abort();
}

Attached attachNew(std::size_t size, bool tracker) {
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int key = std::uniform_int_distribution<int>(0x10000000, 0x6fffffff)(random);
        const int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0) continue;
        void* handle = tracker ? trackdInitTrackerReader(key) : trackdInitControllerReader(key);
        shmctl(id, IPC_RMID, nullptr);  // gone with the process, whatever happens
        if (handle == nullptr) die("the library could not attach a fresh segment");
        return {handle, size};
    }
    die("no free key");
}

// What the library's answer must be, worked out here independently of it.
std::uint32_t word(const Attached& a, std::uint64_t offset) {
    std::uint32_t w;
    std::memcpy(&w, static_cast<const unsigned char*>(a.handle) + offset, 4);
    return w;
}

// Start of the 24 bytes a sensor query reads, or -1 when the query must be refused.
std::int64_t expectedRecord(const Attached* a, int sensor) {
    if (a == nullptr) return -1;
    if (static_cast<std::uint32_t>(sensor) >= word(*a, NUM_SENSORS_AT)) return -1;
    const std::uint64_t start = std::uint64_t{word(*a, SENSOR_OFFSET_AT)} +
                                std::uint64_t{static_cast<std::uint32_t>(sensor)} * word(*a, SENSOR_SIZE_AT);
    return start + SENSOR_BYTES_READ <= a->size ? static_cast<std::int64_t>(start) : -1;
}

std::int64_t expectedControl(const Attached* a, int index, std::uint64_t countAt, std::uint64_t offsetAt) {
    if (a == nullptr) return -1;
    if (static_cast<std::uint32_t>(index) >= word(*a, countAt)) return -1;
    const std::uint64_t at =
        std::uint64_t{word(*a, offsetAt)} + CONTROL_BYTES * std::uint64_t{static_cast<std::uint32_t>(index)};
    return at + CONTROL_BYTES <= a->size ? static_cast<std::int64_t>(at) : -1;
}

using testing_reference::Matrix;

Matrix expectedPose(const Attached& a, std::uint64_t start) {
    const auto at = [&](std::uint64_t offset) { return std::bit_cast<float>(word(a, start + offset)); };
    return testing_reference::expectedPose(at(ANGLE_Y_AT), at(ANGLE_X_AT), at(ANGLE_Z_AT), at(X_AT), at(Y_AT),
                                           at(Z_AT));
}

// Runs one query with standard error captured, and checks that a refusal wrote exactly one ERROR line
// and an acceptance wrote nothing.
template <typename Query>
void checked(bool refused, Query query) {
    ftruncate(captured, 0);
    lseek(captured, 0, SEEK_SET);
    dup2(captured, STDERR_FILENO);
    query();
    dup2(realStderr, STDERR_FILENO);
    const off_t length = lseek(captured, 0, SEEK_CUR);
    std::string text(static_cast<std::size_t>(length), '\0');
    if (length > 0 && pread(captured, text.data(), text.size(), 0) != length) die("cannot read captured stderr");
    if (!refused && !text.empty()) die(("an accepted query wrote: " + text).c_str());
    if (refused && (text.rfind("ERROR", 0) != 0 || text.find('\n') != text.size() - 1))
        die(("a refused query did not write one ERROR line: " + text).c_str());
}

void fill(float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::bit_cast<float>(0x7FA5A5A5U + static_cast<std::uint32_t>(i));
}

// Whether elements from `first` on still hold what fill() wrote.
bool untouched(const float* out, std::size_t n, std::size_t first = 0) {
    for (std::size_t i = first; i < n; ++i)
        if (std::bit_cast<std::uint32_t>(out[i]) != 0x7FA5A5A5U + static_cast<std::uint32_t>(i)) return false;
    return true;
}

bool sameBits(float a, std::uint32_t b) { return std::bit_cast<std::uint32_t>(a) == b; }

// A float the library returns as a function result. The 32-bit x86 ABI returns it in an x87 register,
// and loading a signalling NaN there quiets it: the caller sees its quiet twin, whatever the library does.
bool sameReturnedBits(float a, std::uint32_t b) {
#if defined(__i386__)
    constexpr std::uint32_t QUIET_BIT = 0x00400000;
    const bool signalling = (b & 0x7F800000U) == 0x7F800000U && (b & 0x007FFFFFU) != 0 && (b & QUIET_BIT) == 0;
    if (signalling) b |= QUIET_BIT;
#endif
    return sameBits(a, b);
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint32_t next() {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= std::uint32_t{byte()} << (8 * i);
        return w;
    }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    const std::uint8_t* rest() const { return data_ + at_; }
    std::size_t left() const { return size_ - at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Picks the handle a query gets: one of ours, null, memory the library never attached, or an address inside a segment.
const void* pickHandle(std::uint8_t choice, const Attached& a, const Attached*& known) {
    static std::uint32_t foreign[1024];
    known = nullptr;
    switch (choice % 8) {
        case 0:
            return nullptr;
        case 1:
            return foreign;
        case 2:
            return static_cast<const unsigned char*>(a.handle) + 4;
        default:
            known = &a;
            return a.handle;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    realStderr = dup(STDERR_FILENO);
    captured = memfd_create("captured-stderr", 0);
    if (realStderr < 0 || captured < 0) die("cannot capture standard error");
    if (__sanitizer_set_report_fd != nullptr)
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(realStderr)));
    for (std::size_t size : TRACKER_SIZES) trackers.push_back(attachNew(size, true));
    for (std::size_t size : CONTROLLER_SIZES) controllers.push_back(attachNew(size, false));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Attached& tracker = trackers[in.byte() % trackers.size()];
    Attached& controller = controllers[in.byte() % controllers.size()];
    const std::uint8_t trackerChoice = in.byte();
    const std::uint8_t controllerChoice = in.byte();
    std::uint32_t header[7];
    for (std::uint32_t& w : header) w = in.next();
    const int sensor = static_cast<int>(in.next());
    const int button = static_cast<int>(in.next());
    const int valuator = static_cast<int>(in.next());

    // Headers first, then the rest of the input repeated over each segment's body.
    auto* t = static_cast<unsigned char*>(tracker.handle);
    auto* c = static_cast<unsigned char*>(controller.handle);
    std::memcpy(t + 4, header, 12);
    std::memcpy(c + 4, header + 3, 16);
    for (std::size_t i = 16, n = in.left(); n > 0 && i < tracker.size; i += n)
        std::memcpy(t + i, in.rest(), std::min(n, tracker.size - i));
    for (std::size_t i = 20, n = in.left(); n > 0 && i < controller.size; i += n)
        std::memcpy(c + i, in.rest(), std::min(n, controller.size - i));

    const Attached* knownTracker = nullptr;
    const Attached* knownController = nullptr;
    const void* th = pickHandle(trackerChoice, tracker, knownTracker);
    const void* ch = pickHandle(controllerChoice, controller, knownController);

    checked(knownTracker == nullptr, [&] {
        if (trackdGetNumberOfSensors(th) != (knownTracker ? static_cast<int>(word(tracker, NUM_SENSORS_AT)) : 0))
            die("sensor count");
    });
    checked(knownController == nullptr, [&] {
        if (trackdGetNumberOfButtons(ch) != (knownController ? static_cast<int>(word(controller, NUM_BUTTONS_AT)) : 0))
            die("button count");
    });
    checked(knownController == nullptr, [&] {
        if (trackdGetNumberOfValuators(ch) !=
            (knownController ? static_cast<int>(word(controller, NUM_VALUATORS_AT)) : 0))
            die("valuator count");
    });

    const std::int64_t record = expectedRecord(knownTracker, sensor);
    const bool refused = record < 0;
    float out[16];
    fill(out, 16);
    checked(refused, [&] {
        if (trackdGetPosition(th, sensor, out) != !refused) die("position result");
    });
    if (refused ? !untouched(out, 16)
                : !(sameBits(out[0], word(tracker, record + X_AT)) && sameBits(out[1], word(tracker, record + Y_AT)) &&
                    sameBits(out[2], word(tracker, record + Z_AT)) && untouched(out, 16, 3)))
        die("position output");
    fill(out, 16);
    checked(refused, [&] {
        if (trackdGetEulerAngles(th, sensor, out) != !refused) die("angles result");
    });
    if (refused ? !untouched(out, 16)
                : !(sameBits(out[0], word(tracker, record + ANGLE_X_AT)) &&
                    sameBits(out[1], word(tracker, record + ANGLE_Y_AT)) &&
                    sameBits(out[2], word(tracker, record + ANGLE_Z_AT)) && untouched(out, 16, 3)))
        die("angles output");
    float matrix[4][4];
    fill(&matrix[0][0], 16);
    checked(refused, [&] {
        if (trackdGetMatrix(th, sensor, matrix) != !refused) die("matrix result");
    });
    if (refused) {
        if (!untouched(&matrix[0][0], 16)) die("matrix output touched");
    } else {
        const Matrix expected = expectedPose(tracker, static_cast<std::uint64_t>(record));
        // Computed elements must match to the bit, but which NaN an operation on two NaNs yields depends on
        // the order the compiler gives its operands; the copied translation must match to the bit regardless.
        for (std::size_t e = 0; e < 16; ++e) {
            const float got = matrix[e / 4][e % 4];
            const float want = expected[e / 4][e % 4];
            const bool copied = e >= 12 && e < 15;
            if (!sameBits(got, std::bit_cast<std::uint32_t>(want)) && (copied || !std::isnan(got) || !std::isnan(want)))
                die("matrix");
        }
    }

    const std::int64_t buttonAt = expectedControl(knownController, button, NUM_BUTTONS_AT, BUTTON_OFFSET_AT);
    checked(buttonAt < 0, [&] {
        if (trackdGetButton(ch, button) != (buttonAt < 0 ? 0 : static_cast<int>(word(controller, buttonAt))))
            die("button value");
    });
    const std::int64_t valuatorAt = expectedControl(knownController, valuator, NUM_VALUATORS_AT, VALUATOR_OFFSET_AT);
    checked(valuatorAt < 0, [&] {
        const float value = trackdGetValuator(ch, valuator);
        if (!sameReturnedBits(value, valuatorAt < 0 ? 0U : word(controller, valuatorAt))) die("valuator value");
    });
    return 0;
}
