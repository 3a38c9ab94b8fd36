// One moment of trackd's segments as the tools exchange it, and the JSON line that trackd-monitor writes for it
// (recording.h reads it back).
#pragma once

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace trackd_tools {

struct SensorState {
    std::array<float, 3> position{};
    std::array<float, 3> angles{};  // degrees, in the order X, Y, Z that the library reports
};

struct Snapshot {
    double time = 0;  // seconds since the stream began
    std::vector<SensorState> sensors;
    std::vector<std::int32_t> buttons;
    std::vector<float> valuators;
};

// The shortest decimal that reads back as the same float, so JSON stays readable and replays bit for bit.
// JSON has no NaN or infinity: they become null, and null reads back as a quiet NaN.
inline nlohmann::json jsonNumber(float value) {
    if (!std::isfinite(value)) return nullptr;
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    double shortest = 0;
    std::from_chars(text, written.ptr, shortest);
    return shortest;
}

// A recording's first line names its format and version; files from before it have none and still play.
constexpr char RECORDING_FORMAT[] = "trackd-recording";
constexpr int RECORDING_VERSION = 1;

// The longest span in seconds that the tools' clock can hold with room to spare: a century. Recorded
// times and durations on the command line stay within it.
constexpr double LONGEST_SECONDS = 100.0 * 365 * 24 * 3600;
static_assert(LONGEST_SECONDS <
              0.5 * std::chrono::duration<double>(std::chrono::steady_clock::duration::max()).count());

inline nlohmann::json recordingHeader() { return {{"format", RECORDING_FORMAT}, {"version", RECORDING_VERSION}}; }

inline nlohmann::json toJson(const Snapshot& snapshot) {
    nlohmann::json sensors = nlohmann::json::array();
    for (const SensorState& sensor : snapshot.sensors) {
        nlohmann::json position = nlohmann::json::array();
        nlohmann::json angles = nlohmann::json::array();
        for (float v : sensor.position) position.push_back(jsonNumber(v));
        for (float v : sensor.angles) angles.push_back(jsonNumber(v));
        sensors.push_back({{"position", position}, {"angles", angles}});
    }
    nlohmann::json valuators = nlohmann::json::array();
    for (float v : snapshot.valuators) valuators.push_back(jsonNumber(v));
    return {{"time", snapshot.time}, {"sensors", sensors}, {"buttons", snapshot.buttons}, {"valuators", valuators}};
}

}  // namespace trackd_tools
