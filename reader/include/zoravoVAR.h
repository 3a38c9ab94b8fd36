/* ZoravoVAR: reads the tracker and controller segments that trackd publishes in System V shared memory. */
#ifndef ZORAVOVAR_H
#define ZORAVOVAR_H

#define ZORAVOVAR_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Handles are the addresses at which the library attached a segment. They stay valid until the
 * process ends: nothing detaches them. Every attach is a new attachment; the library remembers each
 * one with its segment's size, with no limit of its own below the kernel's. A caller must never
 * detach a handle itself (shmdt): the library cannot tell, and a later query reads whatever is then
 * mapped at that address.
 *
 * Every query checks its handle and its index: a null handle, a handle this library did not return,
 * an index not below the count (compared as unsigned, so negative indices fail) or an entry lying even
 * partly outside its segment writes one line beginning "ERROR" to standard error and yields 0 or 0.0,
 * leaving any output array untouched. Queries make no system call and may run on any thread.
 */

/* Pointer to the text "ZoravoVAR Version " and the major and minor version, such as "ZoravoVAR Version 2.1";
 * not to be modified or freed. */
ZORAVOVAR_API extern const char* version;

/* Returns `version`. Never fails. */
ZORAVOVAR_API const char* getZoravoVARVersion(void);

/* The keys under which trackd publishes its segments unless its installation chose others; the tools,
 * the examples and the other faces take their defaults from here. */
#define ZORAVOVAR_DEFAULT_TRACKER_KEY 7401
#define ZORAVOVAR_DEFAULT_CONTROLLER_KEY 7402

/* Attaches trackd's existing tracker segment (at least 1308 bytes) under `key`, read-write; key 0
 * (IPC_PRIVATE) names no existing segment and fails as a missing one does.
 * Returns the handle, or NULL after writing an "ERROR: ..." line and the system's reason to stderr. */
ZORAVOVAR_API void* trackdInitTrackerReader(int key);

/* Returns the header's sensor count as trackd wrote it, unchecked; 0 for a bad handle. */
ZORAVOVAR_API int trackdGetNumberOfSensors(const void* tracker);

/* Copies sensor `sensor`'s position x, y, z bit for bit into `position` (3 floats).
 * Returns 1, or 0 on a bad handle, index or output pointer. */
ZORAVOVAR_API int trackdGetPosition(const void* tracker, int sensor, float position[3]);

/* Copies the sensor's rotation angles in degrees, in the order X, Y, Z, bit for bit into `angles`.
 * Returns 1, or 0 on a bad handle, index or output pointer. */
ZORAVOVAR_API int trackdGetEulerAngles(const void* tracker, int sensor, float angles[3]);

/* Writes the sensor's pose for row vectors: rotation Z x X x Y, translation in row 3, [3][3] = 1.
 * Returns 1, or 0 on a bad handle, index or output pointer. Safe to call from several threads. */
ZORAVOVAR_API int trackdGetMatrix(const void* tracker, int sensor, float matrix[4][4]);

/* Attaches trackd's existing controller segment (at least 296 bytes) under `key`, read-write; key 0
 * fails as a missing segment does.
 * Returns the handle, or NULL after writing an "ERROR: ..." line and the system's reason to stderr. */
ZORAVOVAR_API void* trackdInitControllerReader(int key);

/* Returns the header's button count as trackd wrote it, unchecked; 0 for a bad handle. */
ZORAVOVAR_API int trackdGetNumberOfButtons(const void* controller);

/* Returns the header's valuator count as trackd wrote it, unchecked; 0 for a bad handle. */
ZORAVOVAR_API int trackdGetNumberOfValuators(const void* controller);

/* Returns button `button`'s whole 32-bit value; 0 on a bad handle or index (check the count first). */
ZORAVOVAR_API int trackdGetButton(const void* controller, int button);

/* Returns valuator `valuator`'s value unchanged; 0.0 on a bad handle or index (check the count first). */
ZORAVOVAR_API float trackdGetValuator(const void* controller, int valuator);

#ifdef __cplusplus
}
#endif

#endif /* ZORAVOVAR_H */
