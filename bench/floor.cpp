// The floors the benchmarks compare each query with: the loads it must make and nothing else, behind
// the same kind of call into a shared library; and empty JNI methods with TrackdJNI's signatures.
#include <jni.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "floor.h"
#include "trackdLayout.h"

namespace {

using namespace trackd_layout;

std::uint32_t load(const void* base, std::uint64_t offset) { return loadWord(base, offset); }

void copy(float& out, const void* base, std::uint64_t offset) {
    const std::uint32_t word = load(base, offset);
    std::memcpy(&out, &word, sizeof out);
}

// The three header words a sensor query reads, then the record's start.
const unsigned char* record(const void* tracker, int sensor) {
    (void)load(tracker, NUM_SENSORS_AT);
    const std::uint64_t start = std::uint64_t{load(tracker, SENSOR_OFFSET_AT)} +
                                std::uint64_t{static_cast<std::uint32_t>(sensor)} * load(tracker, SENSOR_SIZE_AT);
    return static_cast<const unsigned char*>(tracker) + start;
}

}  // namespace

extern "C" {

const char* floorVersion(void) { return "ZoravoVAR Version " ZORAVOVAR_VERSION_MAJOR_MINOR; }

int floorCount(const void* segment, unsigned countAt) { return static_cast<int>(load(segment, countAt)); }

int floorPosition(const void* tracker, int sensor, float position[3]) {
    const unsigned char* r = record(tracker, sensor);
    copy(position[0], r, X_AT);
    copy(position[1], r, Y_AT);
    copy(position[2], r, Z_AT);
    return 1;
}

int floorEulerAngles(const void* tracker, int sensor, float angles[3]) {
    const unsigned char* r = record(tracker, sensor);
    copy(angles[0], r, ANGLE_X_AT);
    copy(angles[1], r, ANGLE_Y_AT);
    copy(angles[2], r, ANGLE_Z_AT);
    return 1;
}

int floorButton(const void* controller, int button) {
    (void)load(controller, NUM_BUTTONS_AT);
    return static_cast<int>(load(controller, std::uint64_t{load(controller, BUTTON_OFFSET_AT)} +
                                                 CONTROL_BYTES * std::uint64_t{static_cast<std::uint32_t>(button)}));
}

float floorValuator(const void* controller, int valuator) {
    (void)load(controller, NUM_VALUATORS_AT);
    const std::uint32_t word =
        load(controller, std::uint64_t{load(controller, VALUATOR_OFFSET_AT)} +
                             CONTROL_BYTES * std::uint64_t{static_cast<std::uint32_t>(valuator)});
    float value;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

void floorSineCosine(const float radians[3], double out[6]) {
    for (int i = 0; i < 3; ++i) {
        out[2 * i] = std::sin(double{radians[i]});
        out[2 * i + 1] = std::cos(double{radians[i]});
    }
}

void floorMatrixProduct(const double left[16], const double right[16], double out[16]) {
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            out[c * 4 + r] = left[r] * right[c * 4] + left[4 + r] * right[c * 4 + 1] + left[8 + r] * right[c * 4 + 2] +
                             left[12 + r] * right[c * 4 + 3];
}

JNIEXPORT jint JNICALL Java_calvora_devicedriver_bench_Floor_getNumSensors(JNIEnv*, jclass) { return 0; }
JNIEXPORT jint JNICALL Java_calvora_devicedriver_bench_Floor_getNumButtons(JNIEnv*, jclass) { return 0; }
JNIEXPORT jint JNICALL Java_calvora_devicedriver_bench_Floor_getNumValuators(JNIEnv*, jclass) { return 0; }
JNIEXPORT jint JNICALL Java_calvora_devicedriver_bench_Floor_getButton(JNIEnv*, jclass, jint) { return 0; }
JNIEXPORT jfloat JNICALL Java_calvora_devicedriver_bench_Floor_getValuator(JNIEnv*, jclass, jint) { return 0; }
JNIEXPORT void JNICALL Java_calvora_devicedriver_bench_Floor_getMatrix(JNIEnv* env, jclass, jfloatArray matrix, jint) {
    jfloat* elements = env->GetFloatArrayElements(matrix, nullptr);
    if (elements != nullptr) env->ReleaseFloatArrayElements(matrix, elements, 0);
}

}  // extern "C"
