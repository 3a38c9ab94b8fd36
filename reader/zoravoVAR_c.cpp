// The trackd reader: attaches the tracker and controller segments and answers every query on them.
#include "zoravoVAR.h"

#include "trackdLayout.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>

// The text trackd-era applications print; the numbers are the project's major and minor version.
const char* version = "ZoravoVAR Version " ZORAVOVAR_VERSION_MAJOR_MINOR;

namespace {

using namespace trackd_layout;

constexpr float IDENTITY_MATRIX[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

constexpr char POSITION_RANGE_ERROR[] = "ERROR(TrackerReader): %d is and invalid sensor id, only %d are available\n";
constexpr char SENSOR_RANGE_ERROR[] = "ERROR(TrackerReader): %d is an invalid sensor id, only %d are available\n";
constexpr char BUTTON_RANGE_ERROR[] = "ERROR(TrackerReader): %d is an invalid button id, only %d are available\n";
constexpr char VALUATOR_RANGE_ERROR[] = "ERROR(TrackerReader): %d is an invalid valuator id, only %d are available\n";

// The attachments this library made, with the real size of each segment, so that every query can
// bound its reads. Open addressing keyed by address, at most half full, so a lookup is a probe or two
// whatever the number of attachments. Entries are only ever added; readers take no lock. When a table
// would pass half full, the writer copies it into one twice as large and publishes that; superseded
// tables are never freed, since a reader may still be probing one, and together they stay smaller
// than the newest.
struct Attachment {
    std::atomic<const void*> address{nullptr};
    std::atomic<std::size_t> size{0};
};

struct AttachmentTable {
    unsigned bits;
    Attachment* slots;
    const AttachmentTable* superseded;  // kept, and reachable, for readers that may still probe it

    std::size_t firstSlot(const void* address) const {
        const auto page = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address)) >> 12;
        return static_cast<std::size_t>((page * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
    }
    std::size_t nextSlot(std::size_t slot) const { return (slot + 1) & ((std::size_t{1} << bits) - 1); }
};

// The first table is static and small: a process that attaches a few segments allocates nothing.
constexpr unsigned FIRST_TABLE_BITS = 4;
// Far beyond the mappings a kernel allows a process (vm.max_map_count), and a shift size_t can make.
constexpr unsigned LAST_TABLE_BITS = std::numeric_limits<std::size_t>::digits - 8;
Attachment firstSlots[std::size_t{1} << FIRST_TABLE_BITS];  // constant-initialised: nothing runs at load
AttachmentTable firstTable{FIRST_TABLE_BITS, firstSlots, nullptr};
std::atomic<const AttachmentTable*> currentTable{&firstTable};
std::mutex attachLock;            // serialises writers only
std::size_t attachmentCount = 0;  // guarded by attachLock

void place(const AttachmentTable& table, const void* address, std::size_t size) {
    std::size_t slot = table.firstSlot(address);
    while (table.slots[slot].address.load(std::memory_order_relaxed) != nullptr) slot = table.nextSlot(slot);
    table.slots[slot].size.store(size, std::memory_order_relaxed);
    table.slots[slot].address.store(address, std::memory_order_release);
}

// A table twice as large holding every entry of `table`, or null when no memory is left for it.
const AttachmentTable* grown(const AttachmentTable& table) {
    if (table.bits == LAST_TABLE_BITS) return nullptr;
    const unsigned bits = table.bits + 1;
    auto* slots = new (std::nothrow) Attachment[std::size_t{1} << bits];
    auto* larger = new (std::nothrow) AttachmentTable{bits, slots, &table};
    if (slots == nullptr || larger == nullptr) {
        delete[] slots;
        delete larger;
        return nullptr;
    }
    for (std::size_t slot = 0; slot < (std::size_t{1} << table.bits); ++slot) {
        const void* held = table.slots[slot].address.load(std::memory_order_relaxed);
        if (held != nullptr) place(*larger, held, table.slots[slot].size.load(std::memory_order_relaxed));
    }
    return larger;
}

// Records an attachment; false when the table cannot grow to hold it.
bool remember(const void* address, std::size_t size) {
    const std::lock_guard lock(attachLock);
    const AttachmentTable* table = currentTable.load(std::memory_order_relaxed);
    for (std::size_t slot = table->firstSlot(address);; slot = table->nextSlot(slot)) {
        const void* held = table->slots[slot].address.load(std::memory_order_relaxed);
        if (held == address) {  // the caller detached this address behind our back and it was reused
            table->slots[slot].size.store(size, std::memory_order_relaxed);
            return true;
        }
        if (held == nullptr) break;
    }
    if (2 * (attachmentCount + 1) > (std::size_t{1} << table->bits)) {
        table = grown(*table);
        if (table == nullptr) return false;
        currentTable.store(table, std::memory_order_release);
    }
    place(*table, address, size);
    ++attachmentCount;
    return true;
}

// The size of the segment this library attached at `address`, or 0 for any other address.
[[gnu::always_inline]] inline std::size_t attachedSize(const void* address) {
    const AttachmentTable* table = currentTable.load(std::memory_order_acquire);
    for (std::size_t slot = table->firstSlot(address);; slot = table->nextSlot(slot)) {
        const void* held = table->slots[slot].address.load(std::memory_order_acquire);
        if (held == address) return table->slots[slot].size.load(std::memory_order_relaxed);
        if (held == nullptr) return 0;
    }
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

// target = left x target, each element summed in double in the order k = 0..3 and rounded once. The
// scratch copy of the right-hand factor lives on this call's stack, so concurrent calls are safe.
void matrixMult(float target[4][4], const float left[4][4]) {
    float Mright[4][4];
    std::memcpy(Mright, target, sizeof Mright);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            const double sum =
                static_cast<double>(left[i][0]) * Mright[0][j] + static_cast<double>(left[i][1]) * Mright[1][j] +
                static_cast<double>(left[i][2]) * Mright[2][j] + static_cast<double>(left[i][3]) * Mright[3][j];
            target[i][j] = static_cast<float>(sum);
        }
    }
}

struct SineCosine {
    float s;
    float c;
};

SineCosine sineCosine(float degrees) {
    const float radians = degrees * DEG_TO_RAD;
    return {static_cast<float>(std::sin(double{radians})), static_cast<float>(std::cos(double{radians}))};
}

// Sets matrix to Z x X x Y, built and multiplied exactly as written: Y first, then X x Y, then Z x (X x Y).
void composeRotations(float matrix[4][4], SineCosine y, SineCosine x, SineCosine z) {
    std::memcpy(matrix, IDENTITY_MATRIX, sizeof IDENTITY_MATRIX);
    matrix[0][0] = y.c;
    matrix[0][2] = -y.s;
    matrix[2][0] = y.s;
    matrix[2][2] = y.c;

    float rotation[4][4];
    std::memcpy(rotation, IDENTITY_MATRIX, sizeof rotation);
    rotation[1][1] = x.c;
    rotation[1][2] = x.s;
    rotation[2][1] = -x.s;
    rotation[2][2] = x.c;
    matrixMult(matrix, rotation);

    std::memcpy(rotation, IDENTITY_MATRIX, sizeof rotation);
    rotation[0][0] = z.c;
    rotation[0][1] = z.s;
    rotation[1][0] = -z.s;
    rotation[1][1] = z.c;
    matrixMult(matrix, rotation);
}

// An element of a product whose other terms are zeros, among them an exact +0 (0 x 0, 0 x 1 or 1 x 0):
// the remaining products summed in double and rounded once, as in matrixMult. The + 0.0 does what the
// +0 term does there: an exact -0 sum becomes +0, everything else is left as it is.
float oneTerm(float a, float b) { return static_cast<float>(static_cast<double>(a) * b + 0.0); }

float twoTerms(float a, float b, float c, float d) {
    return static_cast<float>((static_cast<double>(a) * b + static_cast<double>(c) * d) + 0.0);
}

// The same result as composeRotations, to the bit, when every sine and cosine is finite. Then a term
// whose factor is a 0 of a rotation matrix is a signed zero, which leaves a nonzero partial sum as it
// is; every element of both products has such a term that is an exact +0, and nothing else of the
// element is left but the one or two terms below. With a NaN the zeros would not be zeros: callers
// take composeRotations then.
void composeFiniteRotations(float matrix[4][4], SineCosine y, SineCosine x, SineCosine z) {
    // X x Y; the elements not named are +0, and [3][3] is 1.
    const float t0[3] = {oneTerm(1, y.c), 0, oneTerm(1, -y.s)};
    const float t1[3] = {oneTerm(x.s, y.s), oneTerm(x.c, 1), oneTerm(x.s, y.c)};
    const float t2[3] = {oneTerm(x.c, y.s), oneTerm(-x.s, 1), oneTerm(x.c, y.c)};
    // Z x (X x Y): rows 0 and 1 mix rows 0 and 1 of X x Y, row 2 keeps its row 2, row 3 stays (0, 0, 0, 1).
    for (int j = 0; j < 3; ++j) {
        matrix[0][j] = twoTerms(z.c, t0[j], z.s, t1[j]);
        matrix[1][j] = twoTerms(-z.s, t0[j], z.c, t1[j]);
        matrix[2][j] = oneTerm(1, t2[j]);
        matrix[3][j] = 0;
    }
    matrix[0][3] = 0;
    matrix[1][3] = 0;
    matrix[2][3] = 0;
    matrix[3][3] = 1;
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
    const SineCosine y = sineCosine(loadFloat(record, ANGLE_Y_AT));
    const SineCosine x = sineCosine(loadFloat(record, ANGLE_X_AT));
    const SineCosine z = sineCosine(loadFloat(record, ANGLE_Z_AT));
    if (std::isnan(y.s + y.c + x.s + x.c + z.s + z.c))
        composeRotations(matrix, y, x, z);
    else
        composeFiniteRotations(matrix, y, x, z);
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
