// Fuzzes the installation file's parser with the input as the file's text, then every query on what it accepted:
// what the parser promises (unique names and indices, orthonormal axes, rectangles) is checked here independently.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zoravovarRoom.h"

namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "roomFuzz: %s\n", what);
    std::abort();
}

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

bool finite(const double* v, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

template <typename F>
bool rounded(const double* d, const F* f, int n) {
    for (int i = 0; i < n; ++i)
        if (std::bit_cast<std::uint32_t>(static_cast<float>(d[i])) != std::bit_cast<std::uint32_t>(f[i])) return false;
    return true;
}

void checkAccepted(const ZoravovarRoom* room, const std::uint8_t* data, std::size_t size) {
    double unit = 0;
    double origin[3];
    double axes[9];
    if (zoravovarRoomTracker(room, &unit, origin, axes) != 1) die("tracker");
    if (!(unit > 0 && std::isfinite(unit)) || !finite(origin, 3) || !finite(axes, 9)) die("tracker values");
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            if (std::fabs(dot(axes + 3 * i, axes + 3 * j) - (i == j ? 1 : 0)) > 1e-6) die("axes not orthonormal");

    // A reader matrix from the input's first bytes (anything finite), and the head's eye from it.
    float reader[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (std::size_t i = 0; i < 16 && 4 * i + 4 <= size; ++i) {
        float v = 0;
        std::memcpy(&v, data + 4 * i, 4);
        if (std::isfinite(v)) reader[i] = v;
    }
    double pose[16];
    float posef[16];
    if (zoravovarRoomPose(room, reader, pose) != 1 || zoravovarRoomPosef(room, reader, posef) != 1) die("pose");
    if (!rounded(pose, posef, 16)) die("float pose is not the double pose rounded");

    const int sensors = zoravovarRoomSensorCount(room);
    double eye[3] = {0, 1.5, 0};
    for (int s = 0; s < sensors; ++s) {
        const char* name = zoravovarRoomSensorName(room, s);
        const int index = zoravovarRoomSensorIndex(room, s);
        const int role = zoravovarRoomSensorRole(room, s);
        if (name == nullptr || index < 0 || role < ZORAVOVAR_ROOM_HEAD || role > ZORAVOVAR_ROOM_OTHER) die("sensor");
        if (zoravovarRoomFindSensor(room, name) != s || zoravovarRoomFindSensorIndex(room, index) != s)
            die("sensor names or indices not unique");
        for (int point = 0; point <= 5; ++point) {
            const bool has = (role == ZORAVOVAR_ROOM_HEAD && point >= ZORAVOVAR_ROOM_LEFT_EYE &&
                              point <= ZORAVOVAR_ROOM_CENTRE_EYE) ||
                             (role == ZORAVOVAR_ROOM_WAND && point == ZORAVOVAR_ROOM_TIP);
            double offset[3];
            double at[3];
            float atf[3];
            if (zoravovarRoomSensorOffset(room, s, point, offset) != has) die("sensor offset");
            const int made = zoravovarRoomSensorPoint(room, s, point, reader, at);
            if (made != has || zoravovarRoomSensorPointf(room, s, point, reader, atf) != has) die("sensor point");
            if (made && !rounded(at, atf, 3)) die("float point is not the double point rounded");
            if (made && point == ZORAVOVAR_ROOM_CENTRE_EYE && finite(at, 3)) std::memcpy(eye, at, sizeof eye);
        }
    }
    if (zoravovarRoomSensorName(room, sensors) != nullptr) die("sensor past the count");

    const int screens = zoravovarRoomScreenCount(room);
    for (int s = 0; s < screens; ++s) {
        const char* name = zoravovarRoomScreenName(room, s);
        if (name == nullptr || zoravovarRoomFindScreen(room, name) != s) die("screen names not unique");
        double c[9];
        if (zoravovarRoomScreenCorners(room, s, c) != 1 || !finite(c, 9)) die("screen corners");
        const double across[3] = {c[3] - c[0], c[4] - c[1], c[5] - c[2]};
        const double up[3] = {c[6] - c[0], c[7] - c[1], c[8] - c[2]};
        const double lengths = std::sqrt(dot(across, across)) * std::sqrt(dot(up, up));
        if (!(lengths > 0) || !(std::fabs(dot(across, up)) < 1e-3 * lengths)) die("screen is no rectangle");
        double view[16];
        double projection[16];
        float viewf[16];
        float projectionf[16];
        const int made = zoravovarRoomScreenMatrices(room, s, eye, 0.05, 100, view, projection);
        if (zoravovarRoomScreenMatricesf(room, s, eye, 0.05, 100, viewf, projectionf) != made) die("matrices");
        if (made && (!finite(view, 16) || !finite(projection, 16))) die("matrices not finite");
        if (made && (!rounded(view, viewf, 16) || !rounded(projection, projectionf, 16)))
            die("float matrices are not the double matrices rounded");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    char error[300];
    std::memset(error, 'x', sizeof error);
    ZoravovarRoom* room =
        zoravovarRoomLoadText(reinterpret_cast<const char*>(data), size, "fuzz.toml", error, sizeof error);
    if (room == nullptr) {
        const void* end = std::memchr(error, '\0', sizeof error);
        if (end == nullptr) die("the message is not terminated");
        const std::string message(error);
        if (message.rfind("fuzz.toml", 0) != 0) die(("a message without the file's name: " + message).c_str());
        for (char c : message)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) die("a control character in a message");
        return 0;
    }
    checkAccepted(room, data, size);
    zoravovarRoomFree(room);
    return 0;
}
