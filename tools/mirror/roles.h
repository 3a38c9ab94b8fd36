// The subcommands of trackd-mirror: each adds itself, with its options, to the command line, and runs
// once the command line has chosen it.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace trackd_mirror {

struct Role {
    CLI::App* command;
    std::function<int()> run;  // returns the exit status
};

Role addPublish(CLI::App& app);
Role addSubscribe(CLI::App& app);
Role addList(CLI::App& app);
Role addKeygen(CLI::App& app);

}  // namespace trackd_mirror
