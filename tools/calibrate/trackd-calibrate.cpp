// trackd-calibrate: guides a person through pointing the wand's tip at places and pressing button 0 at each,
// and writes what the points give into the installation file: a screen's corners, or the room's frame.
// Each subcommand lives in a file of its own: screen.cpp, room.cpp, over session.cpp.
#include <CLI/CLI.hpp>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "installation.h"
#include "options.h"
#include "roles.h"

using namespace trackd_calibrate;
using namespace trackd_tools;

namespace {

// Help as a person reads it and as help2man makes the manual page of it: each option with the name of its
// argument alone, and the top-level --help with every subcommand's own options, before the examples.
class CalibrateHelp : public CLI::Formatter {
public:
    std::string make_option_opts(const CLI::Option* option) const override {
        if (option->get_positional() || option->get_type_size() == 0) return {};
        const std::string type = option->get_type_name();  // the name, then each validator's words after ':'
        return " " + type.substr(0, type.find(':'));
    }

    std::string make_footer(const CLI::App* app) const override {
        if (app->get_parent() != nullptr) return CLI::Formatter::make_footer(app);
        std::string text;
        for (const auto* command : app->get_subcommands([](const CLI::App*) { return true; })) {
            text += (text.empty() ? "" : "\n") + command->get_name() + ":\n";
            for (const auto* option : command->get_options())
                if (option->get_name() != "--help") text += make_option(option, option->get_positional());
        }
        return text + "\n" + CLI::Formatter::make_footer(app);
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Calibrates the installation with the wand: point its tip at each place asked for and press button "
        "0. `screen NAME` takes a screen's lower-left, lower-right and upper-left corners in the room; "
        "`room` takes the room's origin, a point along +X and a point along +Y and sets the tracker's "
        "origin and axes. The file is written once, at the end, keeping its comments and every other "
        "entry; an existing file changes only with --update or --overwrite.",
        "trackd-calibrate"};
    app.formatter(std::make_shared<CalibrateHelp>());
    app.set_help_flag("-h,--help", "print this help and exit");
    addVersion(app, "trackd-calibrate");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "the tracker segment's key");
    addKeyOption(app, "--controller-key", settings.controllerKey, "the controller segment's key");
    requireDistinctKeys(app, settings.trackerKey, settings.controllerKey);
    addInstallationOption(app, settings.installation)
        ->description(
            "the installation file to write (default $ZORAVOVAR_INSTALLATION, else " ZORAVOVAR_ROOM_DEFAULT_PATH
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
        "  trackd-calibrate --installation lab.toml --wand 1 room       # a new file: the room's frame\n"
        "  trackd-calibrate --installation lab.toml --update screen front  # add the screen front, or measure it "
        "again\n"
        "  trackd-calibrate --update room --unit 0.3048                 # the frame in $ZORAVOVAR_INSTALLATION (or "
        "the default file), for a tracker in feet");

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
