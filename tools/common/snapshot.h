// One moment of trackd's segments as the tools exchange it, and the JSON line that trackd-monitor writes for it
// (recording.h reads it back).
#pragma once

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
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
    // Lines to distrust, as the recorder measured them: `torn`, read while the segments were still changing
    // after the settle attempts; `missed`, seen after a gap in which about that many writes may have gone unseen.
    bool torn = false;
    std::uint32_t missed = 0;
};

// A marker an experiment sent while recording: its text at a moment on the frames' clock.
struct RecordingMarker {
    double time = 0;
    std::string text;
};

// The room file a recording was taken in: its path, the SHA-256 of its bytes (64 lowercase hex digits),
// and its text where it is at most LONGEST_INSTALLATION_TEXT bytes.
struct RecordingInstallation {
    std::string path;
    std::string sha256;
    std::optional<std::string> content;
};

// What a recording's first line says besides its format. Every field is optional: older files hold only
// some (or, before the header existed, none).
struct RecordingHeader {
    int version = 0;      // 0: a file from before the header existed
    std::string started;  // the wall clock at time 0, RFC 3339 UTC with microseconds, or ""
    std::string host;     // the recording host's name, or ""
    std::string tool;     // the recorder and its version, such as "trackd-monitor 1.4.0", or ""
    std::optional<std::int32_t> trackerKey, controllerKey;  // the System V keys, as the signed numbers key_t holds
    std::vector<std::string> sensorNames;
    std::optional<RecordingInstallation> installation;
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
// Version 1 files hold frames only (a reader of version 1 skips the fields it does not know, so the newer
// header fields and "torn" and "missed" stay within it); version 2 adds marker lines, which a reader of
// version 1 would stop at, so only a recording that may hold markers is written as version 2.
constexpr char RECORDING_FORMAT[] = "trackd-recording";
constexpr int RECORDING_VERSION = 2;  // the newest, and the most the tools read
constexpr int RECORDING_VERSION_WITHOUT_MARKERS = 1;

// A marker's text: UTF-8, no NUL byte, at most this many bytes.
constexpr std::size_t LONGEST_MARKER = 1024;
// A room file's text is kept in the header up to this size (its digest always).
constexpr std::size_t LONGEST_INSTALLATION_TEXT = std::size_t{64} * 1024;

// Why `text` cannot be a marker's, to follow "the marker", or "".
inline std::string markerProblem(std::string_view text) {
    if (text.size() > LONGEST_MARKER) return "is longer than " + std::to_string(LONGEST_MARKER) + " bytes";
    if (text.find('\0') != std::string_view::npos) return "holds a NUL byte";
    try {
        static_cast<void>(nlohmann::json(std::string(text)).dump());  // the JSON library checks the UTF-8
    } catch (const nlohmann::json::exception&) {
        return "is not UTF-8";
    }
    return {};
}

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

// The first line: only the fields `fields` gives (its `version` 0 writes RECORDING_VERSION_WITHOUT_MARKERS).
inline nlohmann::json recordingHeader(const RecordingHeader& fields = {}) {
    nlohmann::json header = {{"format", RECORDING_FORMAT},
                             {"version", fields.version == 0 ? RECORDING_VERSION_WITHOUT_MARKERS : fields.version}};
    if (!fields.started.empty()) header["started"] = fields.started;
    if (!fields.host.empty()) header["host"] = fields.host;
    if (!fields.tool.empty()) header["tool"] = fields.tool;
    if (fields.trackerKey) header["trackerKey"] = *fields.trackerKey;
    if (fields.controllerKey) header["controllerKey"] = *fields.controllerKey;
    if (!fields.sensorNames.empty()) header["sensorNames"] = fields.sensorNames;
    if (fields.installation) {
        nlohmann::json room = {{"path", fields.installation->path}, {"sha256", fields.installation->sha256}};
        if (fields.installation->content) room["content"] = *fields.installation->content;
        header["installation"] = room;
    }
    return header;
}

inline nlohmann::json recordingHeader(const std::vector<std::string>& sensorNames) {
    RecordingHeader fields;
    fields.sensorNames = sensorNames;
    return recordingHeader(fields);
}

inline nlohmann::json markerJson(const RecordingMarker& marker) {
    return {{"time", marker.time}, {"marker", marker.text}};
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
    nlohmann::json line = {
        {"time", snapshot.time}, {"sensors", sensors}, {"buttons", snapshot.buttons}, {"valuators", valuators}};
    if (snapshot.torn) line["torn"] = true;
    if (snapshot.missed > 0) line["missed"] = snapshot.missed;
    return line;
}

}  // namespace trackd_tools
