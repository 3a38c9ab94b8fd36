// trackd-monitor's JSON and text renderings.
#include "rendering.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>

#include "installation.h"
#include "zoravoVAR.h"

namespace trackd_monitor {

using namespace trackd_tools;

namespace {

// A sensor as the tables show it: its number, and its name where it has one.
std::string sensorLabel(std::size_t sensor, const std::vector<std::string>& names) {
    return std::to_string(sensor) +
           (sensor < names.size() && !names[sensor].empty() ? " " + names[sensor] : std::string());
}

// A sensor's pose in the room: its column-vector matrix (element [column * 4 + row]), its position in metres and
// its angles X, Y, Z in degrees, composed as the tracker's are (Y, then X, then Z, for column vectors).
struct RoomPose {
    std::array<double, 16> matrix{};
    std::array<double, 3> position{}, angles{};
};

// Nothing where the segment gives no matrix or the matrix is not finite.
std::optional<RoomPose> roomPose(const ZoravovarRoom* room, const SegmentFollower& tracker, std::size_t sensor) {
    float reader[4][4];
    RoomPose pose;
    if (trackdGetMatrix(tracker.handle(), static_cast<int>(sensor), reader) != 1 ||
        zoravovarRoomPose(room, &reader[0][0], pose.matrix.data()) != 1)
        return std::nullopt;
    pose.position = {pose.matrix[12], pose.matrix[13], pose.matrix[14]};
    pose.angles = trackerAngles(pose.matrix);
    return pose;
}

}  // namespace

nlohmann::json jsonLine(const Snapshot& s, const SegmentFollower& tracker, bool matrices, const Labels& labels,
                        const nlohmann::json& health) {
    nlohmann::json line = toJson(s);
    for (std::size_t i = 0; i < s.sensors.size() && i < labels.names.size(); ++i)
        if (!labels.names[i].empty()) line["sensors"][i]["name"] = labels.names[i];
    for (std::size_t i = 0; labels.room != nullptr && i < s.sensors.size(); ++i) {
        const std::optional<RoomPose> pose = roomPose(labels.room, tracker, i);
        nlohmann::json& room = line["sensors"][i]["room"];
        if (!pose) continue;  // null
        room = {{"position", pose->position}, {"angles", pose->angles}};
        if (matrices) room["matrix"] = pose->matrix;
    }
    if (matrices) {
        for (std::size_t i = 0; i < s.sensors.size(); ++i) {
            float m[4][4];
            nlohmann::json elements = nlohmann::json::array();
            if (trackdGetMatrix(tracker.handle(), static_cast<int>(i), m) == 1)
                for (int e = 0; e < 16; ++e) elements.push_back(jsonNumber(m[e / 4][e % 4]));
            line["sensors"][i]["matrix"] = elements;
        }
    }
    line["health"] = health;
    return line;
}

std::string text(const Snapshot& s, const SegmentFollower& tracker, const SegmentFollower& controller, bool matrices,
                 const Labels& labels, const nlohmann::json& health, const std::string& notice) {
    const std::vector<std::string>& names = labels.names;
    std::ostringstream out;
    out << tracker.line(health["tracker"]) << '\n'
        << controller.line(health["controller"]) << "\nchanges watched: " << health["watching"].get<std::string>()
        << "\n\n";
    int width = 7;  // the label column: "sensor" and a space, or the longest label
    for (std::size_t i = 0; i < s.sensors.size() && i < names.size(); ++i)
        width = std::max(width, static_cast<int>(sensorLabel(i, names).size()));
    char row[256];
    std::snprintf(row, sizeof row, "%-*s %10s %10s %10s   %9s %9s %9s\n", width, "sensor", "x", "y", "z", "angle X",
                  "angle Y", "angle Z");
    out << row;
    if (labels.room != nullptr) {
        std::snprintf(row, sizeof row, "%-*s %32s   %29s\n", width, "  room", "metres, Y up", "degrees");
        out << row;
    }
    for (std::size_t i = 0; i < s.sensors.size(); ++i) {
        const SensorState& sensor = s.sensors[i];
        std::snprintf(row, sizeof row, "%-*s %10.4f %10.4f %10.4f   %9.3f %9.3f %9.3f\n", width,
                      sensorLabel(i, names).c_str(), double{sensor.position[0]}, double{sensor.position[1]},
                      double{sensor.position[2]}, double{sensor.angles[0]}, double{sensor.angles[1]},
                      double{sensor.angles[2]});
        out << row;
        if (labels.room != nullptr) {
            if (const std::optional<RoomPose> pose = roomPose(labels.room, tracker, i))
                std::snprintf(row, sizeof row, "%-*s %10.4f %10.4f %10.4f   %9.3f %9.3f %9.3f\n", width, "  room",
                              pose->position[0], pose->position[1], pose->position[2], pose->angles[0], pose->angles[1],
                              pose->angles[2]);
            else
                std::snprintf(row, sizeof row, "%-*s %10s\n", width, "  room", "-");
            out << row;
        }
        float m[4][4];
        if (matrices && trackdGetMatrix(tracker.handle(), static_cast<int>(i), m) == 1)
            for (const auto& r : m) {
                std::snprintf(row, sizeof row, "%*s [%9.5f %9.5f %9.5f %9.5f]\n", width, "", double{r[0]}, double{r[1]},
                              double{r[2]}, double{r[3]});
                out << row;
            }
    }
    out << "\nbuttons  ";
    for (std::int32_t b : s.buttons) out << ' ' << b;
    out << "\nvaluators";
    for (float v : s.valuators) {
        std::snprintf(row, sizeof row, " %7.3f", double{v});
        out << row;
    }
    out << '\n';
    if (!notice.empty()) out << '\n' << notice << '\n';
    return out.str();
}

}  // namespace trackd_monitor
