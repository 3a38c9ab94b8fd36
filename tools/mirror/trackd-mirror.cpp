// trackd-mirror: publishes the tracking host's tracker and controller segments over Cyclone DDS, and on
// each render node recreates them under the same keys, byte for byte, for unmodified local readers.
// Each subcommand lives in a file of its own: publish.cpp, subscribe.cpp, keygen.cpp.
#include <sodium.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <vector>

#include "common.h"
#include "options.h"
#include "roles.h"

using namespace trackd_mirror;
using namespace trackd_tools;

int main(int argc, char** argv) {
    CLI::App app{
        "Carries trackd's tracker and controller segments from the tracking host to render nodes over "
        "Cyclone DDS.\nRun `publish` where trackd runs and `subscribe` on each render node; local "
        "applications there read the mirrored segments through ZoravoVAR as if trackd ran there.",
        "trackd-mirror"};
    addVersion(app, "trackd-mirror");
    app.require_subcommand(1);
    const std::vector<Role> roles{addPublish(app), addSubscribe(app), addKeygen(app)};

    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    catchStopSignals();
    try {
        if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
        for (const auto& role : roles)
            if (role.command->parsed()) return role.run();
        return EXIT_BAD_USAGE;
    } catch (const std::exception& e) {
        say(e.what());
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
