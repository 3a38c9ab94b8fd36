// The room's math per frame: both eyes of a moving head and their view and projection matrices for each screen of a
// four-screen room, beside the floor of as many 4x4 matrix products.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "floor.h"
#include "zoravovarRoom.h"

namespace {

constexpr int SCREENS = 4;
constexpr int EYES = 2;
// A frame: each eye from the head's pose, then each eye's two matrices for each screen.
constexpr int PRODUCTS_PER_FRAME = EYES + EYES * SCREENS;

const char* const CAVE = R"(
[tracker]
unit = 0.3048
origin = [0.0, 0.0, 0.0]
x_axis = [1.0, 0.0, 0.0]
y_axis = [0.0, 0.0, -1.0]
z_axis = [0.0, 1.0, 0.0]

[[sensor]]
index = 0
name = "head"
role = "head"
left_eye = [-0.032, 0.0, 0.0]
right_eye = [0.032, 0.0, 0.0]

[[screen]]
name = "front"
lower_left = [-1.5, 0.0, -1.5]
lower_right = [1.5, 0.0, -1.5]
upper_left = [-1.5, 3.0, -1.5]

[[screen]]
name = "left"
lower_left = [-1.5, 0.0, 1.5]
lower_right = [-1.5, 0.0, -1.5]
upper_left = [-1.5, 3.0, 1.5]

[[screen]]
name = "right"
lower_left = [1.5, 0.0, -1.5]
lower_right = [1.5, 0.0, 1.5]
upper_left = [1.5, 3.0, -1.5]

[[screen]]
name = "floor"
lower_left = [-1.5, 0.0, 1.5]
lower_right = [1.5, 0.0, 1.5]
upper_left = [-1.5, 0.0, -1.5]
)";

ZoravovarRoom* room() {
    static ZoravovarRoom* loaded = [] {
        char error[256];
        ZoravovarRoom* r =
            zoravovarRoomLoadText(CAVE, std::char_traits<char>::length(CAVE), "cave", error, sizeof error);
        if (r == nullptr) {
            std::fprintf(stderr, "roomBench: %s\n", error);
            std::abort();
        }
        return r;
    }();
    return loaded;
}

// The head's pose as the reader gives it (row vectors, feet, Z up), moving a little each frame so that nothing
// is computed once for all frames.
struct Head {
    float reader[16] = {0.8F, 0.6F, 0, 0, -0.6F, 0.8F, 0, 0, 0, 0, 1, 0, 0.2F, -0.5F, 5.5F, 1};
    void move() { reader[12] = reader[12] > 1 ? -1 : reader[12] + 1e-3F; }
};

template <typename T>
void frame(benchmark::State& state) {
    ZoravovarRoom* r = room();
    Head head;
    const int points[EYES] = {ZORAVOVAR_ROOM_LEFT_EYE, ZORAVOVAR_ROOM_RIGHT_EYE};
    T view[16];
    T projection[16];
    for (auto _ : state) {
        head.move();
        for (int e = 0; e < EYES; ++e) {
            double eye[3];
            if (zoravovarRoomSensorPoint(r, 0, points[e], head.reader, eye) != 1) state.SkipWithError("eye");
            for (int s = 0; s < SCREENS; ++s) {
                int made = 0;
                if constexpr (sizeof(T) == sizeof(float)) {
                    made = zoravovarRoomScreenMatricesf(r, s, eye, 0.05, 100, view, projection);
                } else {
                    made = zoravovarRoomScreenMatrices(r, s, eye, 0.05, 100, view, projection);
                }
                if (made != 1) state.SkipWithError("matrices");
                benchmark::DoNotOptimize(view);
                benchmark::DoNotOptimize(projection);
            }
        }
        benchmark::ClobberMemory();
    }
    state.counters["pairs"] = EYES * SCREENS;
}

void floorFrame(benchmark::State& state) {
    std::array<double, 16> left{};
    std::array<double, 16> right{};
    for (int i = 0; i < 16; ++i) {
        left[i] = 1.0 + i * 0.25;
        right[i] = 0.5 - i * 0.125;
    }
    double out[16];
    for (auto _ : state) {
        left[12] = left[12] > 1 ? -1 : left[12] + 1e-3;
        for (int p = 0; p < PRODUCTS_PER_FRAME; ++p) {
            floorMatrixProduct(left.data(), right.data(), out);
            benchmark::DoNotOptimize(out);
        }
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK_TEMPLATE(frame, float)->Name("query:room frame, 2 eyes x 4 screens, float");
BENCHMARK_TEMPLATE(frame, double)->Name("query:room frame, 2 eyes x 4 screens, double");
BENCHMARK(floorFrame)->Name("floor:room frame, 2 eyes x 4 screens");

BENCHMARK_MAIN();
