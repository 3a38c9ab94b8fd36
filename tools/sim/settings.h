// trackd-sim's settings, as main reads them from the command line.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driving.h"
#include "segmentKeys.h"
#include "snapshot.h"

namespace trackd_sim {

// What the driving faces need besides the segments: where input comes from and where a recording goes.
struct DriveSettings {
    bool commands = false;  // JSON lines on standard input instead of a terminal's keys
    double rate = 60;
    double duration = 0;
    std::string record;
    bool overwrite = false;
    std::FILE* recording = nullptr;  // open on `record`; closed by runDriven
    std::string banner;
};

struct Settings {
    int trackerKey = trackd_tools::DEFAULT_TRACKER_KEY;
    int controllerKey = trackd_tools::DEFAULT_CONTROLLER_KEY;
    std::uint32_t sensors = 3, buttons = 4, valuators = 2;
    double rate = 60, duration = 0, speed = 1, jitter = 0;
    bool still = false, loop = false, hold = false, replace = false, pattern = false;
    std::string play;
    double from = 0, to = trackd_tools::LONGEST_SECONDS;  // the part of the recording played
    int mode = 0660;
    bool interactive = false;
    std::array<float, 3> head = trackd_tools::DEFAULT_HEAD;
    std::array<float, 3> wand = trackd_tools::DEFAULT_WAND;
    trackd_tools::DriveSteps steps;
    DriveSettings drive;
};

// Makes the segments, writes into them as the settings say until the end, and removes them; returns the
// exit status. Throws std::exception saying what failed.
int run(Settings settings);

}  // namespace trackd_sim
