/* ZoravoVAR room: the installation file (the tracker's calibration, the sensors, the screens) and the math of the
 * room (sensor poses, eye positions, view and off-axis projection matrices), for every face to call. */
#ifndef ZORAVOVAR_ROOM_H
#define ZORAVOVAR_ROOM_H

#include <stddef.h>

#define ZORAVOVAR_ROOM_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Conventions, said once for the whole header:
 *
 * - Room coordinates are metres, right-handed, Y up. A tracker point (x, y, z) lies in the room at
 *   origin + unit * (x * x_axis + y * y_axis + z * z_axis); a sensor's orientation turns with the axes.
 * - The reader's pose matrix (trackdGetMatrix's float[4][4], passed here as its 16 floats in memory order) acts
 *   on ROW vectors: [x y z 1] * M, its translation in row 3 (elements 12, 13, 14), in the tracker's unit and
 *   frame. Every matrix this header returns acts on COLUMN vectors, as OpenGL's math and GLM do:
 *   clip = projection * view * [x y z 1]^T, clip z from -1 to 1, stored column after column (element
 *   [column * 4 + row]), as glUniformMatrix4fv takes it with transpose false. Mixing the two up is the
 *   commonest mistake of all: the reader's matrix is never handed to OpenGL as it is.
 * - All math is done in double precision; a function ending in "f" rounds the double results to float, so a
 *   float result is always the double result rounded.
 *
 * A room is loaded once and never changes afterwards: any thread may query it at the same time. Every function
 * checks its arguments (null pointers, indices not below the count, non-finite numbers, near <= 0, far <= near,
 * an eye on or behind a screen's plane) and on failure returns 0 (or -1, or NULL, as each says) and leaves every
 * output untouched. The library never writes to standard output or standard error and never ends the process.
 */

/* An installation, loaded from its file; opaque. */
typedef struct ZoravovarRoom ZoravovarRoom;

/* The largest installation file or text the loaders accept, in bytes. */
#define ZORAVOVAR_ROOM_MAX_FILE_SIZE 1048576
/* Where the installation file is looked for when neither a path nor $ZORAVOVAR_INSTALLATION gives one. */
#define ZORAVOVAR_ROOM_DEFAULT_PATH "/etc/zoravovar/installation.toml"

/* A sensor's role. */
#define ZORAVOVAR_ROOM_HEAD 1  /* has a left_eye and a right_eye */
#define ZORAVOVAR_ROOM_WAND 2  /* has a tip */
#define ZORAVOVAR_ROOM_OTHER 3 /* has neither */

/* The points a sensor carries in its own frame. */
#define ZORAVOVAR_ROOM_LEFT_EYE 1   /* a head's */
#define ZORAVOVAR_ROOM_RIGHT_EYE 2  /* a head's */
#define ZORAVOVAR_ROOM_CENTRE_EYE 3 /* a head's: the midpoint of its eyes */
#define ZORAVOVAR_ROOM_TIP 4        /* a wand's */

/* Returns the version, such as "2.1.0"; not to be modified or freed. Never fails. */
ZORAVOVAR_ROOM_API const char* zoravovarRoomVersion(void);

/* Writes the path of the installation file to use into `path` (`size` bytes, NUL-terminated): `given` when it is
 * neither NULL nor empty (a tool's --installation FILE), else $ZORAVOVAR_INSTALLATION when set and not empty,
 * else ZORAVOVAR_ROOM_DEFAULT_PATH. Returns 1, or 0 when `path` is NULL or too small. */
ZORAVOVAR_ROOM_API int zoravovarRoomResolvePath(const char* given, char* path, size_t size);

/* Loads the installation file at `path`. Returns the room, to be freed with zoravovarRoomFree, or NULL after
 * writing what is wrong into `error` (`errorSize` bytes, NUL-terminated, cut short if need be; `error` may be
 * NULL). The message names the place and the field: "FILE:LINE: field: what is wrong". A file with any mistake
 * is refused as a whole. */
ZORAVOVAR_ROOM_API ZoravovarRoom* zoravovarRoomLoadFile(const char* path, char* error, size_t errorSize);

/* Loads an installation from the `length` bytes at `text` (no NUL needed), as zoravovarRoomLoadFile loads a
 * file; `name` (NULL for "installation") stands for the file's name in messages. */
ZORAVOVAR_ROOM_API ZoravovarRoom* zoravovarRoomLoadText(const char* text, size_t length, const char* name, char* error,
                                                        size_t errorSize);

/* Frees a room; NULL is ignored. The room's names are freed with it. */
ZORAVOVAR_ROOM_API void zoravovarRoomFree(ZoravovarRoom* room);

/* The tracker's calibration: `unit` in metres per tracker unit, `origin` (3 doubles) in the room, and `axes`
 * (9 doubles): the tracker's X, Y and Z axes as room directions, one after the other. Any output may be NULL.
 * Returns 1, or 0 for a NULL room. */
ZORAVOVAR_ROOM_API int zoravovarRoomTracker(const ZoravovarRoom* room, double* unit, double origin[3], double axes[9]);

/* Sensors are numbered 0 to count - 1 in the file's order, apart from the tracker's index of each.
 * Returns the number of sensors; 0 for a NULL room. */
ZORAVOVAR_ROOM_API int zoravovarRoomSensorCount(const ZoravovarRoom* room);

/* Returns sensor `sensor`'s tracker index (the index trackdGetMatrix takes), or -1 for a bad room or number. */
ZORAVOVAR_ROOM_API int zoravovarRoomSensorIndex(const ZoravovarRoom* room, int sensor);

/* Returns sensor `sensor`'s name, valid as long as the room, or NULL for a bad room or number. */
ZORAVOVAR_ROOM_API const char* zoravovarRoomSensorName(const ZoravovarRoom* room, int sensor);

/* Returns sensor `sensor`'s role (ZORAVOVAR_ROOM_HEAD, _WAND or _OTHER), or 0 for a bad room or number. */
ZORAVOVAR_ROOM_API int zoravovarRoomSensorRole(const ZoravovarRoom* room, int sensor);

/* Returns the number of the sensor named `name`, or -1 when there is none. */
ZORAVOVAR_ROOM_API int zoravovarRoomFindSensor(const ZoravovarRoom* room, const char* name);

/* Returns the number of the sensor whose tracker index is `index`, or -1 when there is none. */
ZORAVOVAR_ROOM_API int zoravovarRoomFindSensorIndex(const ZoravovarRoom* room, int index);

/* Returns the number of the first sensor of role `role` in the file, or -1 when there is none. */
ZORAVOVAR_ROOM_API int zoravovarRoomFindRole(const ZoravovarRoom* room, int role);

/* Writes point `point` (ZORAVOVAR_ROOM_LEFT_EYE, ...) of sensor `sensor` in the sensor's own frame, in metres,
 * into `out`. Returns 1, or 0 for a bad room, number or pointer, or a point the sensor's role lacks. */
ZORAVOVAR_ROOM_API int zoravovarRoomSensorOffset(const ZoravovarRoom* room, int sensor, int point, double out[3]);

/* Writes the room pose for the reader's pose matrix `reader` (row vectors, tracker unit and frame) into `pose`:
 * a column-vector rigid transform from the sensor's own frame, in metres, to the room. Returns 1, or 0 for a bad
 * room or pointer or a matrix with a non-finite element. */
ZORAVOVAR_ROOM_API int zoravovarRoomPose(const ZoravovarRoom* room, const float reader[16], double pose[16]);
ZORAVOVAR_ROOM_API int zoravovarRoomPosef(const ZoravovarRoom* room, const float reader[16], float pose[16]);

/* Writes where point `point` of sensor `sensor` (an eye of a head, the tip of a wand) lies in the room, in metres,
 * when the reader gives the sensor the pose matrix `reader`. Returns 1, or 0 as zoravovarRoomSensorOffset and
 * zoravovarRoomPose fail. */
ZORAVOVAR_ROOM_API int zoravovarRoomSensorPoint(const ZoravovarRoom* room, int sensor, int point,
                                                const float reader[16], double out[3]);
ZORAVOVAR_ROOM_API int zoravovarRoomSensorPointf(const ZoravovarRoom* room, int sensor, int point,
                                                 const float reader[16], float out[3]);

/* Screens are numbered 0 to count - 1 in the file's order. Returns the number of screens; 0 for a NULL room. */
ZORAVOVAR_ROOM_API int zoravovarRoomScreenCount(const ZoravovarRoom* room);

/* Returns screen `screen`'s name, valid as long as the room, or NULL for a bad room or number. */
ZORAVOVAR_ROOM_API const char* zoravovarRoomScreenName(const ZoravovarRoom* room, int screen);

/* Returns the number of the screen named `name`, or -1 when there is none. */
ZORAVOVAR_ROOM_API int zoravovarRoomFindScreen(const ZoravovarRoom* room, const char* name);

/* Writes screen `screen`'s lower-left, lower-right and upper-left corners in the room (9 doubles, as the file
 * gives them) into `corners`. Returns 1, or 0 for a bad room, number or pointer. */
ZORAVOVAR_ROOM_API int zoravovarRoomScreenCorners(const ZoravovarRoom* room, int screen, double corners[9]);

/* Writes the view and off-axis projection matrices for an eye at `eye` (room metres) looking at screen `screen`,
 * with near and far planes `near` and `far` metres from the eye along the screen's normal, into `view` and
 * `projection` (either, not both, may be NULL), as the generalized perspective projection makes them: the screen's
 * basis from its corners (right along the lower edge, up square to it in the screen's plane, out towards the eye), the
 * frustum's extents at the near plane from the eye's offset to the corners. The screen's corners land on clip
 * (-1, -1), (1, -1) and (-1, 1). Returns 1, or 0 for a bad room, number or pointer, non-finite input, near <= 0,
 * far <= near, an eye on or behind the screen's plane, or results that are not finite. */
ZORAVOVAR_ROOM_API int zoravovarRoomScreenMatrices(const ZoravovarRoom* room, int screen, const double eye[3],
                                                   double near, double far, double view[16], double projection[16]);
ZORAVOVAR_ROOM_API int zoravovarRoomScreenMatricesf(const ZoravovarRoom* room, int screen, const double eye[3],
                                                    double near, double far, float view[16], float projection[16]);

#ifdef __cplusplus
}
#endif

#endif /* ZORAVOVAR_ROOM_H */
