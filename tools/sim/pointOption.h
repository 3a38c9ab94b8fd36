// trackd-sim's --head and --wand: a point as X,Y,Z on the command line.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <string>

namespace trackd_sim {

// Adds an option that takes a point as X,Y,Z: three finite numbers separated by commas.
CLI::Option* addPointOption(CLI::App& app, const std::string& name, std::array<float, 3>& point,
                            const std::string& what);

}  // namespace trackd_sim
