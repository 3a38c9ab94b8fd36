// Prints what libZoravoVARRoom answers for the inputs given, as the bits of each double in hex, so that another
// face's test can compare its own answers with the C library's to the bit. Inputs are given as bits in hex too:
//   roomProbe FILE pose F0..F15                 the room pose for trackdGetMatrix's 16 floats
//   roomProbe FILE eye POINT F0..F15            point POINT (1 left, 2 right, 3 centre) of the first head
//   roomProbe FILE screen N NEAR FAR E0 E1 E2   screen N's view, then its projection
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zoravovarRoom.h"

namespace {

template <typename T, typename Bits>
T fromHex(const char* text) {
    const Bits bits = static_cast<Bits>(std::strtoull(text, nullptr, 16));
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::array<float, 16> floats(char** at) {
    std::array<float, 16> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = fromHex<float, std::uint32_t>(at[i]);
    return out;
}

int number(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 10)); }

void print(const double* values, int count) {
    for (int i = 0; i < count; ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, values + i, sizeof bits);
        std::printf("%s%016llx", i == 0 ? "" : " ", static_cast<unsigned long long>(bits));
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    char error[512];
    ZoravovarRoom* room = zoravovarRoomLoadFile(argv[1], error, sizeof error);
    if (room == nullptr) {
        std::fprintf(stderr, "roomProbe: %s\n", error);
        return 1;
    }
    const std::string what = argv[2];
    int done = 0;
    if (what == "pose" && argc == 19) {
        double pose[16];
        done = zoravovarRoomPose(room, floats(argv + 3).data(), pose);
        if (done == 1) print(pose, 16);
    } else if (what == "eye" && argc == 20) {
        double point[3];
        done = zoravovarRoomSensorPoint(room, zoravovarRoomFindRole(room, ZORAVOVAR_ROOM_HEAD), number(argv[3]),
                                        floats(argv + 4).data(), point);
        if (done == 1) print(point, 3);
    } else if (what == "screen" && argc == 9) {
        const double eye[3] = {fromHex<double, std::uint64_t>(argv[6]), fromHex<double, std::uint64_t>(argv[7]),
                               fromHex<double, std::uint64_t>(argv[8])};
        double view[16], projection[16];
        done = zoravovarRoomScreenMatrices(room, number(argv[3]), eye, fromHex<double, std::uint64_t>(argv[4]),
                                           fromHex<double, std::uint64_t>(argv[5]), view, projection);
        if (done == 1) {
            print(view, 16);
            print(projection, 16);
        }
    }
    zoravovarRoomFree(room);
    if (done != 1) std::fprintf(stderr, "roomProbe: refused: %s\n", what.c_str());
    return done == 1 ? 0 : 1;
}
