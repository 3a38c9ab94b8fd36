// Floors for the reader's benchmarks: the same loads as each query, with no checks.
#pragma once

#define FLOOR_API __attribute__((visibility("default")))

extern "C" {
FLOOR_API const char* floorVersion(void);
FLOOR_API int floorCount(const void* segment, unsigned countAt);
FLOOR_API int floorPosition(const void* tracker, int sensor, float position[3]);
FLOOR_API int floorEulerAngles(const void* tracker, int sensor, float angles[3]);
FLOOR_API int floorButton(const void* controller, int button);
FLOOR_API float floorValuator(const void* controller, int valuator);
// sin and cos in double of three angles already in radians: the trigonometry of one pose matrix alone.
FLOOR_API void floorSineCosine(const float radians[3], double out[6]);
// One product of two column-major 4x4 double matrices: the floor of the room's matrices for one eye and screen.
FLOOR_API void floorMatrixProduct(const double left[16], const double right[16], double out[16]);
}
