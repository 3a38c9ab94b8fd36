// trackd-monitor's renderings of a snapshot with the segments' health: a JSON line (--json) or the text
// of the live view and --once.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "segmentFollower.h"
#include "snapshot.h"
#include "zoravovarRoom.h"

namespace trackd_monitor {

// What the renderings add to the segments' values: the sensors' names (sensor i's is names[i], "" or none
// beyond the list: numbered only) and the room whose coordinates are shown too (null: none).
struct Labels {
    const std::vector<std::string>& names;
    const ZoravovarRoom* room = nullptr;
};

nlohmann::json jsonLine(const trackd_tools::Snapshot& s, const SegmentFollower& tracker, bool matrices,
                        const Labels& labels, const nlohmann::json& health);

std::string text(const trackd_tools::Snapshot& s, const SegmentFollower& tracker, const SegmentFollower& controller,
                 bool matrices, const Labels& labels, const nlohmann::json& health, const std::string& notice);

}  // namespace trackd_monitor
