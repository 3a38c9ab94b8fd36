// The subcommands of trackd-calibrate: each adds itself, with its options, to the command line, and runs
// once the command line has chosen it.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

#include "session.h"

namespace trackd_calibrate {

struct Role {
    CLI::App* command;
    std::function<int()> run;  // returns the exit status
};

Role addScreen(CLI::App& app, const Settings& settings);
Role addRoom(CLI::App& app, const Settings& settings);

}  // namespace trackd_calibrate
