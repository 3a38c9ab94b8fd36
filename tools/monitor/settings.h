// trackd-monitor's settings, as main reads them from the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "segmentKeys.h"

namespace trackd_monitor {

struct Settings {
    int trackerKey = trackd_tools::DEFAULT_TRACKER_KEY;
    int controllerKey = trackd_tools::DEFAULT_CONTROLLER_KEY;
    double rate = 10, pollRate = 20000, duration = 0, sampleFor = 1.0;
    bool once = false, json = false, matrices = false, wait = false, steadyPoll = false, overwrite = false;
    std::uint32_t maxSensors = 64;
    std::string record;
    std::string markers;  // the socket that markers arrive on, with --record
    std::vector<std::string> names;
};

// Follows both segments and shows or records what they hold until the end; returns the exit status.
// Throws std::exception saying what failed.
int run(const Settings& settings);

}  // namespace trackd_monitor
