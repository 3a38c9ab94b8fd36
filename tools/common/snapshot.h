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

// Names for the sensors, as --names gives them: names[i] names sensor i, and sensors beyond the list stay
// numbered. Each is 1 to 32 characters with no comma (--names separates them with commas) and no control
// character (they are shown on terminals), and no two are the same. Returns why `names` break that, or
// an empty string.
constexpr std::size_t LONGEST_SENSOR_NAME = 32;
inline std::string sensorNamesProblem(const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const std::string quoted = "the sensor name '" + name + "'";
        const std::string which = "sensor " + std::to_string(i) + "'s name";
        if (name.empty()) return which + " is empty";
        try {
            static_cast<void>(nlohmann::json(name).dump());  // the JSON library checks the UTF-8
        } catch (const nlohmann::json::exception&) {
            return which + " is not UTF-8";
        }
        std::size_t characters = 0;
        for (std::size_t at = 0; at < name.size(); ++at) {
            const auto byte = static_cast<unsigned char>(name[at]);
            // A character begins at every byte but a continuation byte; C1 controls are 0xc2 0x80 to 0xc2 0x9f.
            characters += (byte & 0xc0U) != 0x80U ? 1 : 0;
            const bool c1 = byte == 0xc2U && static_cast<unsigned char>(name[at + 1]) <= 0x9fU;
            if (byte < 0x20U || byte == 0x7fU || c1) return which + " holds a control character";
            if (byte == ',') return quoted + " holds a comma";
        }
        if (characters > LONGEST_SENSOR_NAME)
            return quoted + " is longer than " + std::to_string(LONGEST_SENSOR_NAME) + " characters";
        for (std::size_t j = 0; j < i; ++j)
            if (names[j] == name) return quoted + " is given twice";
    }
    return {};
}

// The sensors' names joined as --names takes them.
inline std::string joinedNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
    return joined;
}

// Names were added within version 1: every reader of version 1 checks and skips fields it does not know,
// so a recording with names plays everywhere, and one without them is written as before.
inline nlohmann::json recordingHeader(const std::vector<std::string>& sensorNames = {}) {
    nlohmann::json header = {{"format", RECORDING_FORMAT}, {"version", RECORDING_VERSION}};
    if (!sensorNames.empty()) header["sensorNames"] = sensorNames;
    return header;
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

}  // namespace trackd_tools
