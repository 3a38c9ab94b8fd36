// The room's C API: checks every argument, catches every exception, and hands the work to the parser and the math.
#include "zoravovarRoom.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "installation.h"
#include "roomMath.h"

using zoravovar_room::Installation;
using zoravovar_room::Matrix;
using zoravovar_room::Vec3;

struct ZoravovarRoom {
    Installation installation;
};

namespace {

static_assert(ZORAVOVAR_ROOM_MAX_FILE_SIZE == zoravovar_room::MAX_TEXT_SIZE);

void writeError(const std::string& message, char* error, std::size_t size) {
    if (error == nullptr || size == 0) return;
    const std::size_t n = std::min(message.size(), size - 1);
    std::memcpy(error, message.data(), n);
    error[n] = '\0';
}

template <typename Load>
ZoravovarRoom* loaded(Load load, char* error, std::size_t errorSize) {
    try {
        auto* room = new ZoravovarRoom;
        std::string message;
        if (load(room->installation, message)) return room;
        delete room;
        writeError(message, error, errorSize);
    } catch (...) {
        writeError("out of memory", error, errorSize);
    }
    return nullptr;
}

const zoravovar_room::Sensor* sensorAt(const ZoravovarRoom* room, int sensor) {
    if (room == nullptr || sensor < 0 || static_cast<std::size_t>(sensor) >= room->installation.sensors.size())
        return nullptr;
    return &room->installation.sensors[static_cast<std::size_t>(sensor)];
}

const zoravovar_room::Screen* screenAt(const ZoravovarRoom* room, int screen) {
    if (room == nullptr || screen < 0 || static_cast<std::size_t>(screen) >= room->installation.screens.size())
        return nullptr;
    return &room->installation.screens[static_cast<std::size_t>(screen)];
}

bool offset(const zoravovar_room::Sensor& s, int point, Vec3& out) {
    using zoravovar_room::Role;
    if (s.role == Role::head && point == ZORAVOVAR_ROOM_LEFT_EYE) {
        out = s.leftEye;
    } else if (s.role == Role::head && point == ZORAVOVAR_ROOM_RIGHT_EYE) {
        out = s.rightEye;
    } else if (s.role == Role::head && point == ZORAVOVAR_ROOM_CENTRE_EYE) {
        for (std::size_t i = 0; i < 3; ++i) out[i] = (s.leftEye[i] + s.rightEye[i]) / 2;
    } else if (s.role == Role::wand && point == ZORAVOVAR_ROOM_TIP) {
        out = s.tip;
    } else {
        return false;
    }
    return true;
}

template <typename T, std::size_t N>
void store(const std::array<double, N>& from, T* to) {
    for (std::size_t i = 0; i < N; ++i) to[i] = static_cast<T>(from[i]);
}

template <typename T>
int pose(const ZoravovarRoom* room, const float reader[16], T* out) {
    Matrix m;
    if (room == nullptr || reader == nullptr || out == nullptr || !roomPose(room->installation, reader, m)) return 0;
    store(m, out);
    return 1;
}

template <typename T>
int sensorPoint(const ZoravovarRoom* room, int sensor, int point, const float reader[16], T* out) {
    const zoravovar_room::Sensor* s = sensorAt(room, sensor);
    Vec3 local;
    Matrix m;
    if (s == nullptr || reader == nullptr || out == nullptr || !offset(*s, point, local) ||
        !roomPose(room->installation, reader, m))
        return 0;
    store(zoravovar_room::transformPoint(m, local), out);
    return 1;
}

template <typename T>
int screenMatrices(const ZoravovarRoom* room, int screen, const double eye[3], double near, double far, T* view,
                   T* projection) {
    const zoravovar_room::Screen* s = screenAt(room, screen);
    if (s == nullptr || eye == nullptr || (view == nullptr && projection == nullptr)) return 0;
    const Vec3 e{eye[0], eye[1], eye[2]};
    if (!std::isfinite(e[0]) || !std::isfinite(e[1]) || !std::isfinite(e[2])) return 0;
    Matrix v;
    Matrix p;
    if (!zoravovar_room::screenMatrices(*s, e, near, far, v, p)) return 0;
    if (view != nullptr) store(v, view);
    if (projection != nullptr) store(p, projection);
    return 1;
}

}  // namespace

extern "C" {

const char* zoravovarRoomVersion(void) { return ZORAVOVAR_VERSION_TEXT; }

int zoravovarRoomResolvePath(const char* given, char* path, size_t size) {
    if (path == nullptr) return 0;
    const char* chosen = ZORAVOVAR_ROOM_DEFAULT_PATH;
    // The library never changes the environment; a caller's own setenv on another thread is the caller's race.
    const char* environment = std::getenv("ZORAVOVAR_INSTALLATION");  // NOLINT(concurrency-mt-unsafe)
    if (given != nullptr && given[0] != '\0') {
        chosen = given;
    } else if (environment != nullptr && environment[0] != '\0') {
        chosen = environment;
    }
    const std::size_t length = std::strlen(chosen);
    if (length >= size) return 0;
    std::memcpy(path, chosen, length + 1);
    return 1;
}

ZoravovarRoom* zoravovarRoomLoadFile(const char* path, char* error, size_t errorSize) {
    if (path == nullptr) {
        writeError("no installation file given", error, errorSize);
        return nullptr;
    }
    return loaded([path](Installation& i, std::string& m) { return zoravovar_room::load(path, i, m); }, error,
                  errorSize);
}

ZoravovarRoom* zoravovarRoomLoadText(const char* text, size_t length, const char* name, char* error, size_t errorSize) {
    const char* shown = name != nullptr ? name : "installation";
    if (text == nullptr && length > 0) {
        writeError(std::string(shown) + ": no text given", error, errorSize);
        return nullptr;
    }
    const std::string_view view = length > 0 ? std::string_view(text, length) : std::string_view();
    return loaded([&](Installation& i, std::string& m) { return zoravovar_room::parse(view, shown, i, m); }, error,
                  errorSize);
}

void zoravovarRoomFree(ZoravovarRoom* room) { delete room; }

int zoravovarRoomTracker(const ZoravovarRoom* room, double* unit, double origin[3], double axes[9]) {
    if (room == nullptr) return 0;
    const Installation& i = room->installation;
    if (unit != nullptr) *unit = i.unit;
    if (origin != nullptr) store(i.origin, origin);
    if (axes != nullptr)
        for (std::size_t a = 0; a < 3; ++a) store(i.axes[a], axes + 3 * a);
    return 1;
}

int zoravovarRoomSensorCount(const ZoravovarRoom* room) {
    return room == nullptr ? 0 : static_cast<int>(room->installation.sensors.size());
}

int zoravovarRoomSensorIndex(const ZoravovarRoom* room, int sensor) {
    const zoravovar_room::Sensor* s = sensorAt(room, sensor);
    return s == nullptr ? -1 : s->index;
}

const char* zoravovarRoomSensorName(const ZoravovarRoom* room, int sensor) {
    const zoravovar_room::Sensor* s = sensorAt(room, sensor);
    return s == nullptr ? nullptr : s->name.c_str();
}

int zoravovarRoomSensorRole(const ZoravovarRoom* room, int sensor) {
    const zoravovar_room::Sensor* s = sensorAt(room, sensor);
    return s == nullptr ? 0 : static_cast<int>(s->role);
}

int zoravovarRoomFindSensor(const ZoravovarRoom* room, const char* name) {
    if (room == nullptr || name == nullptr) return -1;
    const auto& sensors = room->installation.sensors;
    for (std::size_t i = 0; i < sensors.size(); ++i)
        if (sensors[i].name == name) return static_cast<int>(i);
    return -1;
}

int zoravovarRoomFindSensorIndex(const ZoravovarRoom* room, int index) {
    if (room == nullptr) return -1;
    const auto& sensors = room->installation.sensors;
    for (std::size_t i = 0; i < sensors.size(); ++i)
        if (sensors[i].index == index) return static_cast<int>(i);
    return -1;
}

int zoravovarRoomFindRole(const ZoravovarRoom* room, int role) {
    if (room == nullptr) return -1;
    const auto& sensors = room->installation.sensors;
    for (std::size_t i = 0; i < sensors.size(); ++i)
        if (static_cast<int>(sensors[i].role) == role) return static_cast<int>(i);
    return -1;
}

int zoravovarRoomSensorOffset(const ZoravovarRoom* room, int sensor, int point, double out[3]) {
    const zoravovar_room::Sensor* s = sensorAt(room, sensor);
    Vec3 local;
    if (s == nullptr || out == nullptr || !offset(*s, point, local)) return 0;
    store(local, out);
    return 1;
}

int zoravovarRoomPose(const ZoravovarRoom* room, const float reader[16], double out[16]) {
    return pose(room, reader, out);
}

int zoravovarRoomPosef(const ZoravovarRoom* room, const float reader[16], float out[16]) {
    return pose(room, reader, out);
}

int zoravovarRoomSensorPoint(const ZoravovarRoom* room, int sensor, int point, const float reader[16], double out[3]) {
    return sensorPoint(room, sensor, point, reader, out);
}

int zoravovarRoomSensorPointf(const ZoravovarRoom* room, int sensor, int point, const float reader[16], float out[3]) {
    return sensorPoint(room, sensor, point, reader, out);
}

int zoravovarRoomScreenCount(const ZoravovarRoom* room) {
    return room == nullptr ? 0 : static_cast<int>(room->installation.screens.size());
}

const char* zoravovarRoomScreenName(const ZoravovarRoom* room, int screen) {
    const zoravovar_room::Screen* s = screenAt(room, screen);
    return s == nullptr ? nullptr : s->name.c_str();
}

int zoravovarRoomFindScreen(const ZoravovarRoom* room, const char* name) {
    if (room == nullptr || name == nullptr) return -1;
    const auto& screens = room->installation.screens;
    for (std::size_t i = 0; i < screens.size(); ++i)
        if (screens[i].name == name) return static_cast<int>(i);
    return -1;
}

int zoravovarRoomScreenCorners(const ZoravovarRoom* room, int screen, double corners[9]) {
    const zoravovar_room::Screen* s = screenAt(room, screen);
    if (s == nullptr || corners == nullptr) return 0;
    store(s->lowerLeft, corners);
    store(s->lowerRight, corners + 3);
    store(s->upperLeft, corners + 6);
    return 1;
}

int zoravovarRoomScreenMatrices(const ZoravovarRoom* room, int screen, const double eye[3], double near, double far,
                                double view[16], double projection[16]) {
    return screenMatrices(room, screen, eye, near, far, view, projection);
}

int zoravovarRoomScreenMatricesf(const ZoravovarRoom* room, int screen, const double eye[3], double near, double far,
                                 float view[16], float projection[16]) {
    return screenMatrices(room, screen, eye, near, far, view, projection);
}

}  // extern "C"
