// trackd-sim --interactive: the driven values written at the update rate, changed by a terminal's keys
// (on a screen of their own) or by a program's commands.
#pragma once

#include <string>

#include "driving.h"
#include "settings.h"
#include "simSegments.h"

namespace trackd_sim {

// The terminal face's one screen: the banner, the key map and the driven values, redrawn from the top.
std::string driveScreen(const std::string& banner, const trackd_tools::Driver& driver, const std::string& record);

// Writes the driven values at the update rate, as a tracker writes, until q, the end of the input, a
// signal or the duration; each change also goes to the recording, timed from the start.
void runDriven(Simulator& simulator, trackd_tools::Driver& driver, const DriveSettings& settings);

}  // namespace trackd_sim
