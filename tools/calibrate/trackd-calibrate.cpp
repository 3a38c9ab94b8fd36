// trackd-calibrate: guides a person through pointing the wand's tip at places and pressing button 0 at each,
// and writes what the points give into the installation file: a screen's corners, or the room's frame.
// Each subcommand lives in a file of its own: screen.cpp, room.cpp, over session.cpp.
#include <CLI/CLI.hpp>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "help.h"
#include "installation.h"
#include "options.h"
#include "roles.h"

using namespace trackd_calibrate;
using namespace trackd_tools;

namespace {

constexpr const char* SEGMENTS = "Segments";
constexpr const char* INSTALLATION = "Installation";

HelpEnd calibrateHelpEnd(const std::string& role) {
    HelpEnd end;
    end.exitStatuses = {{"0", "the points were taken and the file written"},
                        {"1",
                         "a failure at run time: no segments, a file that cannot be read or written, or a "
                         "stop signal before the end (nothing is written)"},
                        {"2",
                         "bad usage: an unknown option, a missing subcommand, an existing file without "
                         "--update or --overwrite"}};
    const std::pair<std::string, std::string> room{"A new file's room frame, the wand being sensor 1:",
                                                   "trackd-calibrate --installation lab.toml --wand 1 room"};
    const std::pair<std::string, std::string> screen{"Add the screen front to the file, or measure it again:",
                                                     "trackd-calibrate --installation lab.toml --update screen front"};
    const std::pair<std::string, std::string> feet{
        "The frame of $ZORAVOVAR_INSTALLATION (or the default file), for a tracker in feet:",
        "trackd-calibrate --update room --unit 0.3048"};
    if (role == "screen")
        end.examples = {screen};
    else if (role == "room")
        end.examples = {room, feet};
    else
        end.examples = {room, screen, feet};
    return end;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Calibrates the installation with the wand: point its tip at each place asked for and press button "
        "0. `screen NAME` takes a screen's lower-left, lower-right and upper-left corners in the room; "
        "`room` takes the room's origin, a point along +X and a point along +Y and sets the tracker's "
        "origin and axes. The file is written once, at the end, keeping its comments and every other "
        "entry; an existing file changes only with --update or --overwrite.",
        "trackd-calibrate"};
    useToolHelp(app, "trackd-calibrate", calibrateHelpEnd(""));
    addVersion(app, "trackd-calibrate");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "System V key of the tracker segment")->group(SEGMENTS);
    addKeyOption(app, "--controller-key", settings.controllerKey, "System V key of the controller segment")
        ->group(SEGMENTS);
    requireDistinctKeys(app, settings.trackerKey, settings.controllerKey);
    addInstallationOption(app, settings.installation)
        ->description(
            "the installation file to write (default $ZORAVOVAR_INSTALLATION, else " ZORAVOVAR_ROOM_DEFAULT_PATH
            "); made where it does not exist")
        ->group(INSTALLATION);
    app.add_option("--wand", settings.wand, "the wand's sensor index (default the installation's sensor of role wand)")
        ->type_name("INDEX")
        ->check(CLI::NonNegativeNumber)
        ->group(INSTALLATION);
    auto* update = app.add_flag("--update", settings.update,
                                "change an existing file: replace (or add) that screen, or the room's frame, in it")
                       ->group(INSTALLATION);
    app.add_flag("--overwrite", settings.overwrite, "replace an existing file with a new one")
        ->excludes(update)
        ->group(INSTALLATION);
    app.require_subcommand(1);
    const std::vector<Role> roles{addScreen(app, settings), addRoom(app, settings)};
    useSubcommandHelp(app, calibrateHelpEnd);

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
