// trackd-calibrate: guides a person through pointing the wand's tip at places and pressing button 0 at each,
// and writes what the points give into the installation file: a screen's corners, or the room's frame.
// Each subcommand lives in a file of its own: screen.cpp, room.cpp, over session.cpp.
#include <CLI/CLI.hpp>
#include <exception>
#include <string>
#include <vector>

#include "installation.h"
#include "options.h"
#include "roles.h"

using namespace trackd_calibrate;
using namespace trackd_tools;

int main(int argc, char** argv) {
    CLI::App app{"Calibrates the installation with the wand: point its tip at each place asked for and press button "
                 "0. `screen NAME` takes a screen's lower-left, lower-right and upper-left corners in the room; "
                 "`room` takes the room's origin, a point along +X and a point along +Y and sets the tracker's "
                 "origin and axes. The file is written once, at the end, keeping its comments and every other "
                 "entry; an existing file changes only with --update or --overwrite.",
                 "trackd-calibrate"};
    app.set_help_flag("-h,--help", "print this help and exit");
    addVersion(app, "trackd-calibrate");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "the tracker segment's key");
    addKeyOption(app, "--controller-key", settings.controllerKey, "the controller segment's key");
    requireDistinctKeys(app, settings.trackerKey, settings.controllerKey);
    addInstallationOption(app, settings.installation)
        ->description("the installation file to write (default $ZORAVOVAR_INSTALLATION, else " ZORAVOVAR_ROOM_DEFAULT_PATH
                     "); made where it does not exist");
    app.add_option("--wand", settings.wand, "the wand's sensor index (default the installation's sensor of role wand)")
        ->type_name("INDEX")
        ->check(CLI::NonNegativeNumber);
    auto* update = app.add_flag("--update", settings.update,
                                "change an existing file: replace (or add) that screen, or the room's frame, in it");
    app.add_flag("--overwrite", settings.overwrite, "replace an existing file with a new one")->excludes(update);
    app.require_subcommand(1);
    const std::vector<Role> roles{addScreen(app, settings), addRoom(app, settings)};
    app.footer(
        "Examples:\n"
        "  trackd-calibrate screen front                        # a new screen in $ZORAVOVAR_INSTALLATION or "
        "/etc/zoravovar/installation.toml\n"
        "  trackd-calibrate --installation room.toml --update screen front   # measure the screen front again\n"
        "  trackd-calibrate --installation room.toml --update room --unit 0.3048  # a tracker in feet\n"
        "  trackd-calibrate --wand 3 --installation new.toml room            # a new file, the wand on sensor 3");

    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    catchStopSignals();
    try {
        for (const auto& role : roles)
            if (role.command->parsed()) return role.run();
        return EXIT_BAD_USAGE;
    } catch (const std::exception& e) {
        say(e.what());
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
