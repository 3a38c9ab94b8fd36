// Every exported reader query beside its floor, the cost as attachments and sensors grow, and two threads polling.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "../tests/segment.h"
#include "floor.h"
#include "zoravoVAR.h"

using testing_segments::Segment;

namespace {

constexpr std::uint32_t SENSORS = 64;
constexpr std::uint32_t RECORDS_AT = 36;
constexpr std::uint32_t RECORD_SIZE = 52;
constexpr std::uint32_t VALUATORS_AT = 28;
constexpr std::uint32_t BUTTONS_AT = 72;
using trackd_layout::DEG_TO_RAD;

struct Fixture {
    Segment trackerSegment{RECORDS_AT + SENSORS * RECORD_SIZE};
    Segment controllerSegment{296};
    void* tracker = nullptr;
    void* controller = nullptr;
    std::vector<void*> controllers;  // every attachment of the controller segment, oldest first
    float radians[3] = {};

    Fixture() {
        testing_segments::putTrackerHeader(trackerSegment, SENSORS, RECORDS_AT, RECORD_SIZE);
        for (std::uint32_t i = 0; i < SENSORS; ++i) {
            const auto f = static_cast<float>(i);
            testing_segments::putSensor(trackerSegment, RECORDS_AT + i * RECORD_SIZE,
                                        {0.5F + f, 1.25F, -2.0F, 20 + f, 10 + f, 30 + f});
        }
        testing_segments::putControllerHeader(controllerSegment, BUTTONS_AT, VALUATORS_AT, 8, 8);
        tracker = trackdInitTrackerReader(trackerSegment.key());
        controller = trackdInitControllerReader(controllerSegment.key());
        if (tracker == nullptr || controller == nullptr) std::abort();
        controllers.push_back(controller);
        radians[0] = 20 * DEG_TO_RAD;
        radians[1] = 10 * DEG_TO_RAD;
        radians[2] = 30 * DEG_TO_RAD;
    }

    // Attaches the controller segment again until the process holds `count` attachments in all.
    void attachUntil(std::size_t count) {
        while (controllers.size() + 1 < count) {
            void* handle = trackdInitControllerReader(controllerSegment.key());
            if (handle == nullptr) break;  // the kernel allows no more mappings
            controllers.push_back(handle);
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

template <typename Query>
void run(benchmark::State& state, Query query) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(query());
        benchmark::ClobberMemory();
    }
}

void registerQueries() {
    Fixture& f = fixture();
    static float out[4][4];
    static double trig[6];
    const auto pair = [](const char* name, auto query, auto floor) {
        benchmark::RegisterBenchmark((std::string("query:") + name).c_str(),
                                     [query](benchmark::State& s) { run(s, query); });
        benchmark::RegisterBenchmark((std::string("floor:") + name).c_str(),
                                     [floor](benchmark::State& s) { run(s, floor); });
    };
    pair(
        "getZoravoVARVersion", [] { return getZoravoVARVersion(); }, [] { return floorVersion(); });
    pair(
        "trackdGetNumberOfSensors", [&f] { return trackdGetNumberOfSensors(f.tracker); },
        [&f] { return floorCount(f.tracker, trackd_layout::NUM_SENSORS_AT); });
    pair(
        "trackdGetPosition", [&f] { return trackdGetPosition(f.tracker, 0, out[0]); },
        [&f] { return floorPosition(f.tracker, 0, out[0]); });
    pair(
        "trackdGetEulerAngles", [&f] { return trackdGetEulerAngles(f.tracker, 0, out[0]); },
        [&f] { return floorEulerAngles(f.tracker, 0, out[0]); });
    pair(
        "trackdGetMatrix", [&f] { return trackdGetMatrix(f.tracker, 0, out); },
        [&f] {
            floorSineCosine(f.radians, trig);
            return trig[0];
        });
    pair(
        "trackdGetNumberOfButtons", [&f] { return trackdGetNumberOfButtons(f.controller); },
        [&f] { return floorCount(f.controller, trackd_layout::NUM_BUTTONS_AT); });
    pair(
        "trackdGetNumberOfValuators", [&f] { return trackdGetNumberOfValuators(f.controller); },
        [&f] { return floorCount(f.controller, trackd_layout::NUM_VALUATORS_AT); });
    pair(
        "trackdGetButton", [&f] { return trackdGetButton(f.controller, 3); },
        [&f] { return floorButton(f.controller, 3); });
    pair(
        "trackdGetValuator", [&f] { return trackdGetValuator(f.controller, 3); },
        [&f] { return floorValuator(f.controller, 3); });

    benchmark::RegisterBenchmark("scale:trackdGetPosition/sensor 0 of 64", [&f](benchmark::State& s) {
        run(s, [&f] { return trackdGetPosition(f.tracker, 0, out[0]); });
    });
    benchmark::RegisterBenchmark("scale:trackdGetPosition/sensor 63 of 64", [&f](benchmark::State& s) {
        run(s, [&f] { return trackdGetPosition(f.tracker, 63, out[0]); });
    });
    // Registered in this order, so that each level of attachments is measured before the next is made.
    for (std::size_t attachments : {std::size_t{2}, std::size_t{64}, std::size_t{4096}}) {
        for (const bool newest : {false, true}) {
            const std::string name = "scale:trackdGetButton/" + std::to_string(attachments) + " attachments, " +
                                     (newest ? "newest" : "oldest") + " handle";
            benchmark::RegisterBenchmark(name.c_str(), [&f, attachments, newest](benchmark::State& s) {
                f.attachUntil(attachments);
                void* handle = newest ? f.controllers.back() : f.controllers.front();
                run(s, [handle] { return trackdGetButton(handle, 3); });
            });
        }
    }

    benchmark::RegisterBenchmark(
        "threads:trackdGetMatrix",
        [&f](benchmark::State& s) {
            float local[4][4];
            for (auto _ : s) {
                benchmark::DoNotOptimize(trackdGetMatrix(f.tracker, static_cast<int>(s.thread_index()), local));
                benchmark::ClobberMemory();
            }
            s.SetItemsProcessed(s.iterations());
        })
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    registerQueries();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
