// One moment of trackd's segments as the tools exchange it: the JSON line that trackd-monitor writes and trackd-sim
// replays.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
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

inline float floatFrom(const nlohmann::json& value, const char* what) {
    if (value.is_null()) return std::numeric_limits<float>::quiet_NaN();
    if (!value.is_number()) throw std::invalid_argument(std::string(what) + " is not a number");
    return static_cast<float>(value.get<double>());
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

inline std::array<float, 3> triple(const nlohmann::json& value, const char* what) {
    if (!value.is_array() || value.size() != 3) throw std::invalid_argument(std::string(what) + " is not 3 numbers");
    return {floatFrom(value[0], what), floatFrom(value[1], what), floatFrom(value[2], what)};
}

// Reads what toJson wrote; throws std::invalid_argument naming the first thing that is wrong.
inline Snapshot snapshotFromJson(const nlohmann::json& line) {
    if (!line.is_object()) throw std::invalid_argument("not a JSON object");
    const auto field = [&](const char* name) -> const nlohmann::json& {
        const auto found = line.find(name);
        if (found == line.end()) throw std::invalid_argument(std::string("no \"") + name + "\" field");
        return *found;
    };
    Snapshot snapshot;
    const nlohmann::json& time = field("time");
    if (!time.is_number() || !std::isfinite(time.get<double>()) || time.get<double>() < 0)
        throw std::invalid_argument("\"time\" is not a number of seconds");
    snapshot.time = time.get<double>();
    const nlohmann::json& sensors = field("sensors");
    if (!sensors.is_array()) throw std::invalid_argument("\"sensors\" is not an array");
    for (const nlohmann::json& sensor : sensors) {
        if (!sensor.is_object() || !sensor.contains("position") || !sensor.contains("angles"))
            throw std::invalid_argument("a sensor lacks \"position\" or \"angles\"");
        snapshot.sensors.push_back({triple(sensor["position"], "a position"), triple(sensor["angles"], "angles")});
    }
    const nlohmann::json& buttons = field("buttons");
    if (!buttons.is_array()) throw std::invalid_argument("\"buttons\" is not an array");
    for (const nlohmann::json& button : buttons) {
        if (!button.is_number_integer() || button.get<std::int64_t>() < std::numeric_limits<std::int32_t>::min() ||
            button.get<std::int64_t>() > std::numeric_limits<std::int32_t>::max())
            throw std::invalid_argument("a button is not a 32-bit integer");
        snapshot.buttons.push_back(static_cast<std::int32_t>(button.get<std::int64_t>()));
    }
    const nlohmann::json& valuators = field("valuators");
    if (!valuators.is_array()) throw std::invalid_argument("\"valuators\" is not an array");
    for (const nlohmann::json& valuator : valuators) snapshot.valuators.push_back(floatFrom(valuator, "a valuator"));
    return snapshot;
}

}  // namespace trackd_tools
