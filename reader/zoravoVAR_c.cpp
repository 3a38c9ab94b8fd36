// The trackd reader: attaches the tracker and controller segments and answers every query on them.
#include "zoravoVAR.h"

#include "matrixRotation.h"
#include "trackdLayout.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>

// The text trackd-era applications print; the numbers are the project's major and minor version. Exported as
// a data symbol, not only through getZoravoVARVersion: applications of trackd's era read `version` itself.
const char* version = "ZoravoVAR Version " ZORAVOVAR_VERSION_MAJOR_MINOR;

namespace {

using namespace trackd_layout;
using namespace trackd_pose;

// The messages as trackd-era applications and their log filters know them. Kept on purpose: "is and invalid"
// (the position query's own typo) and the tracker's prefix on the button and valuator messages too.
constexpr char POSITION_RANGE_ERROR[] = "ERROR(TrackerReader): %d is and invalid sensor id, only %d are available\n";
constexpr char SENSOR_RANGE_ERROR[] = "ERROR(TrackerReader): %d is an invalid sensor id, only %d are available\n";
constexpr char BUTTON_RANGE_ERROR[] = "ERROR(TrackerReader): %d is an invalid button id, only %d are available\n";
constexpr char VALUATOR_RANGE_ERROR[] = "ERROR(TrackerReader): %d is an invalid valuator id, only %d are available\n";

// The attachments this library made, with the real size of each segment, so that every query can
// bound its reads. Open addressing keyed by address, each table at most half full, so a lookup is a
// probe or two whatever the number of attachments. Entries are only ever added; readers take no lock.
//
// The first 256 attachments go into a static table at a fixed address, the lookup every query makes.
// Further ones go into an overflow table, which a query consults only when the static table lacks its
// handle. When the overflow table would pass half full, the writer copies it into one twice as large
// and publishes that; superseded tables are never freed, since a reader may still be probing one.
struct Attachment {
    std::atomic<const void*> address{nullptr};
    std::atomic<std::size_t> size{0};
};

struct AttachmentTable {
    Attachment* slots;
    unsigned bits;

    std::size_t capacity() const { return std::size_t{1} << bits; }
    [[gnu::always_inline]] std::size_t firstSlot(const void* address) const {
        const auto page = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address)) >> 12;
        return static_cast<std::size_t>((page * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
    }
    [[gnu::always_inline]] std::size_t nextSlot(std::size_t slot) const { return (slot + 1) & (capacity() - 1); }

    // The size recorded for `address`, or 0 when the table does not hold it.
    [[gnu::always_inline]] std::size_t find(const void* address) const {
        for (std::size_t slot = firstSlot(address);; slot = nextSlot(slot)) {
            const void* held = slots[slot].address.load(std::memory_order_acquire);
            if (held == address) return slots[slot].size.load(std::memory_order_relaxed);
            if (held == nullptr) return 0;
        }
    }
    // Records `address`, or updates its size when the caller detached it behind our back and the
    // address was reused. False when the table holds `limit` entries and lacks it.
    bool put(const void* address, std::size_t size, std::size_t& count, std::size_t limit) const {
        std::size_t slot = firstSlot(address);
        for (;; slot = nextSlot(slot)) {
            const void* held = slots[slot].address.load(std::memory_order_relaxed);
            if (held == address) {
                slots[slot].size.store(size, std::memory_order_relaxed);
                return true;
            }
            if (held == nullptr) break;
        }
        if (count == limit) return false;
        slots[slot].size.store(size, std::memory_order_relaxed);
        slots[slot].address.store(address, std::memory_order_release);
        ++count;
        return true;
    }
};

constexpr unsigned STATIC_TABLE_BITS = 9;
Attachment staticSlots[std::size_t{1} << STATIC_TABLE_BITS];  // constant-initialised: nothing runs at load
constexpr AttachmentTable staticTable{staticSlots, STATIC_TABLE_BITS};

// Readers find the overflow table in one word: its slots' address, 64-byte aligned, with the table's
// size as a power of two in the six low bits; 0 while there is none.
constexpr std::uintptr_t BITS_MASK = 63;
constexpr std::size_t TABLE_ALIGNMENT = BITS_MASK + 1;
// Far beyond the mappings a kernel allows a process (vm.max_map_count), and a shift size_t can make.
constexpr unsigned LAST_TABLE_BITS = std::numeric_limits<std::size_t>::digits - 8;
static_assert(LAST_TABLE_BITS <= BITS_MASK);
std::atomic<std::uintptr_t> overflowTable{0};

std::mutex attachLock;  // serialises writers only; guards what follows
std::size_t staticCount = 0;
std::size_t overflowCount = 0;
Attachment* superseded[LAST_TABLE_BITS];  // kept reachable, never freed
std::size_t supersededCount = 0;

AttachmentTable decode(std::uintptr_t word) {
    return {reinterpret_cast<Attachment*>(word & ~BITS_MASK),  // NOLINT(performance-no-int-to-ptr)
            static_cast<unsigned>(word & BITS_MASK)};
}

// Publishes an overflow table twice as large as `table` (or a first one) holding every entry of it;
// false when no memory is left for it.
bool grow(AttachmentTable& table) {
    const unsigned bits = table.slots == nullptr ? STATIC_TABLE_BITS + 1 : table.bits + 1;
    if (bits > LAST_TABLE_BITS) return false;
    const AttachmentTable larger{
        new (std::align_val_t{TABLE_ALIGNMENT}, std::nothrow) Attachment[std::size_t{1} << bits], bits};
    if (larger.slots == nullptr) return false;
    std::size_t copied = 0;
    for (std::size_t slot = 0; table.slots != nullptr && slot < table.capacity(); ++slot) {
        const void* held = table.slots[slot].address.load(std::memory_order_relaxed);
        if (held != nullptr)
            larger.put(held, table.slots[slot].size.load(std::memory_order_relaxed), copied, larger.capacity());
    }
    overflowTable.store(reinterpret_cast<std::uintptr_t>(larger.slots) | bits, std::memory_order_release);
    if (table.slots != nullptr) superseded[supersededCount++] = table.slots;
    table = larger;
    return true;
}

// Records an attachment; false when the overflow table cannot grow to hold it.
bool remember(const void* address, std::size_t size) {
    const std::lock_guard lock(attachLock);
    AttachmentTable overflow = decode(overflowTable.load(std::memory_order_relaxed));
    // An address already recorded only has its size updated, in whichever table holds it.
    if (overflow.slots != nullptr && overflow.find(address) != 0) return overflow.put(address, size, overflowCount, 0);
    if (staticTable.put(address, size, staticCount, staticTable.capacity() / 2)) return true;
    if ((overflow.slots == nullptr || 2 * (overflowCount + 1) > overflow.capacity()) && !grow(overflow)) return false;
    return overflow.put(address, size, overflowCount, overflow.capacity() / 2);
}

[[gnu::cold, gnu::noinline]] std::size_t overflowSize(const void* address) {
    const std::uintptr_t word = overflowTable.load(std::memory_order_acquire);
    return word == 0 ? 0 : decode(word).find(address);
}

// The size of the segment this library attached at `address`, or 0 for any other address.
[[gnu::always_inline]] inline std::size_t attachedSize(const void* address) {
    const std::size_t size = staticTable.find(address);
    return size != 0 ? size : overflowSize(address);
}

[[gnu::cold, gnu::noinline]] void reportBadHandle(const char* function, const void* handle) {
    if (handle == nullptr)
        std::fprintf(stderr, "ERROR(TrackerReader): %s called with a null handle; the segment is not attached\n",
                     function);
    else
        std::fprintf(stderr, "ERROR(TrackerReader): %s called with %p, which is not a segment this library attached\n",
                     function, handle);
}

[[gnu::cold, gnu::noinline]] void reportNullOutput(const char* function) {
    std::fprintf(stderr, "ERROR(TrackerReader): %s called with a null output array\n", function);
}

[[gnu::cold, gnu::noinline]] void reportRange(const char* format, int index, std::uint32_t count) {
    std::fprintf(stderr, format, index, static_cast<int>(count));
}

[[gnu::cold, gnu::noinline]] void reportOutside(const char* item, int index, const char* segment, std::uint64_t first,
                                                std::uint64_t end, std::size_t size) {
    std::fprintf(
        stderr, "ERROR(TrackerReader): %s %d lies outside the %s segment: bytes %llu to %llu of a %zu-byte segment\n",
        item, index, segment, static_cast<unsigned long long>(first), static_cast<unsigned long long>(end - 1), size);
}

// The size of the segment behind `handle`; 0, after the error line, when the library did not attach it.
[[gnu::always_inline]] inline std::size_t checkedSize(const void* handle, const char* function) {
    const std::size_t size = attachedSize(handle);
    if (size == 0) reportBadHandle(function, handle);
    return size;
}

// Floats travel as integer words, never through a float register, so a signalling NaN keeps its payload.
[[gnu::always_inline]] inline void copyWord(float& out, const void* base, std::uint64_t offset) {
    const std::uint32_t word = loadWord(base, offset);
    std::memcpy(&out, &word, sizeof out);
}

[[gnu::always_inline]] inline float loadFloat(const void* base, std::uint64_t offset) {
    return std::bit_cast<float>(loadWord(base, offset));
}

// The start of the sensor's record within the tracker segment, or null after the error line.
[[gnu::always_inline]] inline const unsigned char* sensorRecord(const void* tracker, int sensor, const void* output,
                                                                const char* rangeError, const char* function) {
    const std::size_t size = checkedSize(tracker, function);
    if (size == 0) return nullptr;
    if (output == nullptr) {
        reportNullOutput(function);
        return nullptr;
    }
    const std::uint32_t numSensors = loadWord(tracker, NUM_SENSORS_AT);
    const auto index = static_cast<std::uint32_t>(sensor);
    if (index >= numSensors) {
        reportRange(rangeError, sensor, numSensors);
        return nullptr;
    }
    // 64-bit arithmetic: neither the product nor the sum can wrap back into the segment.
    const std::uint64_t start =
        std::uint64_t{loadWord(tracker, SENSOR_OFFSET_AT)} + std::uint64_t{index} * loadWord(tracker, SENSOR_SIZE_AT);
    if (start + SENSOR_BYTES_READ > size) {
        reportOutside("sensor", sensor, "tracker", start, start + SENSOR_BYTES_READ, size);
        return nullptr;
    }
    return static_cast<const unsigned char*>(tracker) + start;
}

// The address of a button or valuator word within the controller segment, or null after the error line.
[[gnu::always_inline]] inline const unsigned char* controllerWord(const void* controller, int index,
                                                                  std::uint32_t countAt, std::uint32_t offsetAt,
                                                                  const char* rangeError, const char* item,
                                                                  const char* function) {
    const std::size_t size = checkedSize(controller, function);
    if (size == 0) return nullptr;
    const std::uint32_t count = loadWord(controller, countAt);
    if (static_cast<std::uint32_t>(index) >= count) {
        reportRange(rangeError, index, count);
        return nullptr;
    }
    const std::uint64_t at = std::uint64_t{loadWord(controller, offsetAt)} +
                             CONTROL_BYTES * std::uint64_t{static_cast<std::uint32_t>(index)};
    if (at + CONTROL_BYTES > size) {
        reportOutside(item, index, "controller", at, at + CONTROL_BYTES, size);
        return nullptr;
    }
    return static_cast<const unsigned char*>(controller) + at;
}

[[gnu::always_inline]] inline int headerCount(const void* handle, std::uint32_t countAt, const char* function) {
    if (checkedSize(handle, function) == 0) return 0;
    return static_cast<int>(loadWord(handle, countAt));
}

void* attach(int key, std::uint32_t minimumSize, std::string_view lookupError, std::string_view attachError) {
    // Key 0 is IPC_PRIVATE, for which shmget would create a new, empty segment: it names no segment of
    // trackd's, so it fails as a missing one does.
    int id = -1;
    if (key == IPC_PRIVATE)
        errno = ENOENT;
    else
        id = shmget(key, minimumSize, 0);
    if (id < 0) {
        std::fwrite(lookupError.data(), 1, lookupError.size(), stderr);
        std::perror("shmget");
        return nullptr;
    }
    void* address = shmat(id, nullptr, 0);  // read-write, as trackd's readers always attach, though queries only read
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's failure value
        std::fwrite(attachError.data(), 1, attachError.size(), stderr);
        std::perror("shmat");
        return nullptr;
    }
    // The lookup guaranteed the minimum; the kernel knows the rest. Asked once here, never by a query.
    std::size_t size = minimumSize;
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) == 0 && info.shm_segsz > size) size = info.shm_segsz;
    if (!remember(address, size)) {
        shmdt(address);
        std::fwrite(attachError.data(), 1, attachError.size(), stderr);
        std::fputs("shmat: no memory left to record the attachment\n", stderr);
        return nullptr;
    }
    return address;
}

}  // namespace

extern "C" {

const char* getZoravoVARVersion(void) { return version; }

void* trackdInitTrackerReader(int key) {
    return attach(key, TRACKER_SEGMENT_SIZE, "ERROR: can't get tracker shared memory\n",
                  "ERROR: can't attach tracker shared memory\n");
}

void* trackdInitControllerReader(int key) {
    return attach(key, CONTROLLER_SEGMENT_SIZE, "ERROR: can't get controller shared memory\n",
                  "ERROR: can't attach controller shared memory\n");
}

int trackdGetNumberOfSensors(const void* tracker) {
    return headerCount(tracker, NUM_SENSORS_AT, "trackdGetNumberOfSensors");
}

int trackdGetPosition(const void* tracker, int sensor, float position[3]) {
    const unsigned char* record = sensorRecord(tracker, sensor, position, POSITION_RANGE_ERROR, "trackdGetPosition");
    if (record == nullptr) return 0;
    copyWord(position[0], record, X_AT);
    copyWord(position[1], record, Y_AT);
    copyWord(position[2], record, Z_AT);
    return 1;
}

int trackdGetEulerAngles(const void* tracker, int sensor, float angles[3]) {
    const unsigned char* record = sensorRecord(tracker, sensor, angles, SENSOR_RANGE_ERROR, "trackdGetEulerAngles");
    if (record == nullptr) return 0;
    copyWord(angles[0], record, ANGLE_X_AT);
    copyWord(angles[1], record, ANGLE_Y_AT);
    copyWord(angles[2], record, ANGLE_Z_AT);
    return 1;
}

int trackdGetMatrix(const void* tracker, int sensor, float matrix[4][4]) {
    const unsigned char* record = sensorRecord(tracker, sensor, matrix, SENSOR_RANGE_ERROR, "trackdGetMatrix");
    if (record == nullptr) return 0;
    poseRotation(matrix, loadFloat(record, ANGLE_Y_AT), loadFloat(record, ANGLE_X_AT), loadFloat(record, ANGLE_Z_AT));
    copyWord(matrix[3][0], record, X_AT);
    copyWord(matrix[3][1], record, Y_AT);
    copyWord(matrix[3][2], record, Z_AT);
    return 1;
}

int trackdGetNumberOfButtons(const void* controller) {
    return headerCount(controller, NUM_BUTTONS_AT, "trackdGetNumberOfButtons");
}

int trackdGetNumberOfValuators(const void* controller) {
    return headerCount(controller, NUM_VALUATORS_AT, "trackdGetNumberOfValuators");
}

int trackdGetButton(const void* controller, int button) {
    const unsigned char* word = controllerWord(controller, button, NUM_BUTTONS_AT, BUTTON_OFFSET_AT, BUTTON_RANGE_ERROR,
                                               "button", "trackdGetButton");
    return word == nullptr ? 0 : static_cast<int>(loadWord(word, 0));
}

float trackdGetValuator(const void* controller, int valuator) {
    const unsigned char* word = controllerWord(controller, valuator, NUM_VALUATORS_AT, VALUATOR_OFFSET_AT,
                                               VALUATOR_RANGE_ERROR, "valuator", "trackdGetValuator");
    return word == nullptr ? 0.0F : loadFloat(word, 0);
}

}  // extern "C"
