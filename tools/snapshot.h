// One moment of trackd's segments as the tools exchange it: the JSON line that trackd-monitor writes and trackd-sim
// replays.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
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

// JSON whose fractional numbers are read straight into float, each rounded once from its decimal: read
// into a double first and then rounded to float, some decimals would land on the neighbouring float.
using FloatJson = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, float>;

// A recording's first line names its format and version; files from before it have none and still play.
constexpr char RECORDING_FORMAT[] = "trackd-recording";
constexpr int RECORDING_VERSION = 1;

inline nlohmann::json recordingHeader() { return {{"format", RECORDING_FORMAT}, {"version", RECORDING_VERSION}}; }

inline float floatFrom(const FloatJson& value, const char* what) {
    if (value.is_null()) return std::numeric_limits<float>::quiet_NaN();
    if (!value.is_number()) throw std::invalid_argument(std::string(what) + " is not a number");
    return value.get<float>();
}

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

inline std::array<float, 3> triple(const FloatJson& value, const char* what) {
    if (!value.is_array() || value.size() != 3) throw std::invalid_argument(std::string(what) + " is not 3 numbers");
    return {floatFrom(value[0], what), floatFrom(value[1], what), floatFrom(value[2], what)};
}

// Reads a line that toJson wrote; throws std::invalid_argument naming the first thing that is wrong.
// `maxTime` bounds the time, which must be a number of seconds the clock can hold.
inline Snapshot snapshotFromLine(const std::string& text, double maxTime) {
    nlohmann::json exact;
    FloatJson line;
    try {
        exact = nlohmann::json::parse(text);  // for the time, a double
        line = FloatJson::parse(text);        // for every value that becomes a float
    } catch (const nlohmann::json::out_of_range& e) {
        const std::string what = e.what();  // "... number overflow parsing '1e39'"
        throw std::invalid_argument("a number does not fit in a float: " + what.substr(what.find_last_of(' ') + 1));
    }
    if (!line.is_object()) throw std::invalid_argument("not a JSON object");
    const auto field = [&](const char* name) -> const FloatJson& {
        const auto found = line.find(name);
        if (found == line.end()) throw std::invalid_argument(std::string("no \"") + name + "\" field");
        return *found;
    };
    Snapshot snapshot;
    if (!field("time").is_number()) throw std::invalid_argument("\"time\" is not a number of seconds");
    snapshot.time = exact["time"].get<double>();
    if (!std::isfinite(snapshot.time) || snapshot.time < 0 || snapshot.time > maxTime)
        throw std::invalid_argument("\"time\" is not a number of seconds that the clock can hold");
    const FloatJson& sensors = field("sensors");
    if (!sensors.is_array()) throw std::invalid_argument("\"sensors\" is not an array");
    for (const FloatJson& sensor : sensors) {
        if (!sensor.is_object() || !sensor.contains("position") || !sensor.contains("angles"))
            throw std::invalid_argument("a sensor lacks \"position\" or \"angles\"");
        snapshot.sensors.push_back({triple(sensor["position"], "a position"), triple(sensor["angles"], "angles")});
    }
    const FloatJson& buttons = field("buttons");
    if (!buttons.is_array()) throw std::invalid_argument("\"buttons\" is not an array");
    for (const FloatJson& button : buttons) {
        // A button above 2^63 arrives unsigned: compared as such, it is as out of range as any other.
        const bool fits = button.is_number_unsigned() ? button.get<std::uint64_t>() <= INT32_MAX
                          : button.is_number_integer()
                              ? button.get<std::int64_t>() >= INT32_MIN && button.get<std::int64_t>() <= INT32_MAX
                              : false;
        if (!fits) throw std::invalid_argument("a button is not a 32-bit integer");
        snapshot.buttons.push_back(static_cast<std::int32_t>(button.get<std::int64_t>()));
    }
    const FloatJson& valuators = field("valuators");
    if (!valuators.is_array()) throw std::invalid_argument("\"valuators\" is not an array");
    for (const FloatJson& valuator : valuators) snapshot.valuators.push_back(floatFrom(valuator, "a valuator"));
    return snapshot;
}

}  // namespace trackd_tools
