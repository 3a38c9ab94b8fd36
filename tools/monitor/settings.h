// trackd-monitor's settings, as main reads them from the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "installation.h"
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
    std::string installation;  // --installation FILE; the lookup goes on without it
    bool room = false;         // show room coordinates too
};

// The installation that main found for `settings`, and the sensors' names: --names where given, else the file's.
struct Room {
    std::optional<trackd_tools::Installation> installation;
    std::vector<std::string> names;  // sensor i's is names[i]; "" where none is given
};

// Follows both segments and shows or records what they hold until the end; returns the exit status.
// Throws std::exception saying what failed.
int run(const Settings& settings, const Room& room);

}  // namespace trackd_monitor
