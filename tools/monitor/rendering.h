// trackd-monitor's renderings of a snapshot with the segments' health: a JSON line (--json) or the text
// of the live view and --once.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "segmentFollower.h"
#include "snapshot.h"

namespace trackd_monitor {

nlohmann::json jsonLine(const trackd_tools::Snapshot& s, const SegmentFollower& tracker, bool matrices,
                        const std::vector<std::string>& names, const nlohmann::json& health);

std::string text(const trackd_tools::Snapshot& s, const SegmentFollower& tracker, const SegmentFollower& controller,
                 bool matrices, const std::vector<std::string>& names, const nlohmann::json& health,
                 const std::string& notice);

}  // namespace trackd_monitor
