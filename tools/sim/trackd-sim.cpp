// trackd-sim: plays trackd's part, creating the tracker and controller segments and keeping them updated.
// main only reads the command line into Settings and hands them to run (run.cpp); the segments and their
// writer are simSegments.cpp's, the motions motions.cpp's, the replay replay.cpp's and the driven faces
// driven.cpp's.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "help.h"
#include "installation.h"
#include "options.h"
#include "pointOption.h"
#include "printable.h"
#include "settings.h"
#include "simSegments.h"
#include "startPlaces.h"

using namespace trackd_sim;
using namespace trackd_tools;

namespace {

constexpr const char* SEGMENTS = "Segments";
constexpr const char* MOTION = "Motion";
constexpr const char* REPLAY = "Replay";
constexpr const char* DRIVING = "Driving by hand";

HelpEnd simHelpEnd() {
    return {{{"Keys of --interactive",
              "In a terminal, keys move and turn the selected sensor, press buttons and push valuators:\n"
              "  left right: move along X (- +)     up down: along Z (- +; up goes away)\n"
              "  PgUp PgDn: raise, lower (Y + -)    Tab, Shift-Tab: next, previous sensor; 0-9 select one\n"
              "  i k: turn about X (+ -)            j l: about Y (+ -)     u o: about Z (+ -)\n"
              "  space: toggle button 0             z x c v b n m: toggle buttons 1 to 7\n"
              "  /: select the next valuator        - +: lower, raise it (= raises too), within -1 to 1\n"
              "  r: reset the sensor to its start pose   q: quit, removing the segments\n"
              "Angles wrap within -180 to 180 degrees. trackd-viewer --drive drives it from a window."},
             {"Keys of --play --interactive",
              "space pauses and resumes, left right step a frame back or on, PgUp PgDn go 10 s back or on,\n"
              "+ - double or halve the speed, q quits."},
             {"Commands of --interactive --commands",
              "One JSON object a line (up to 4096 bytes) on standard input, until it ends; a wrong line is "
              "reported and ignored:\n"
              "  {\"sensor\":1,\"position\":[X,Y,Z],\"angles\":[X,Y,Z]}  set a pose (either part)\n"
              "  {\"sensor\":1,\"move\":[DX,DY,DZ],\"turn\":[DX,DY,DZ]}  move, turn by (either part)\n"
              "  {\"button\":0,\"value\":1}   {\"valuator\":0,\"value\":0.5}   {\"valuator\":0,\"steps\":-1}\n"
              "  {\"reset\":1}  put sensor 1 back at its start pose"}},
            {{"0", "stopped by a signal, q or --duration, or at the end of --play; the segments are removed"},
             {"1", "a failure at run time: segments already there (without --replace), an unreadable recording"},
             {"2", "bad usage: an unknown option, a value out of range, options that exclude each other"}},
            {{"A head and a wand at 60 updates a second, until Ctrl-C:", "trackd-sim --rate 60"},
             {"Four sensors under other keys, for a second installation on the host:",
              "trackd-sim --sensors 4 --tracker-key 0x2ce9 --controller-key 0x2cea"},
             {"Replay a recording of trackd-monitor, over and over:", "trackd-sim --play session.jsonl --loop"},
             {"Driven by hand from this terminal:", "trackd-sim --interactive"}}};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-sim plays trackd's part. It creates the tracker and controller segments, keeps them\n"
        "updated until a signal or --duration, then removes both. By default sensor 0 is a swaying head and\n"
        "sensor 1 a hand that circles and turns; buttons toggle and valuators sweep. With --interactive a\n"
        "person decides the values instead, from a terminal's keys or a program's commands."};
    useToolHelp(app, "trackd-sim", simHelpEnd());
    addVersion(app, "trackd-sim");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "System V key of the tracker segment")->group(SEGMENTS);
    addKeyOption(app, "--controller-key", settings.controllerKey, "System V key of the controller segment")
        ->group(SEGMENTS);
    app.add_option("--sensors", settings.sensors, "number of sensors, 1 to " + std::to_string(MAX_SENSORS))
        ->check(CLI::Range(1U, MAX_SENSORS))
        ->capture_default_str()
        ->group(SEGMENTS);
    app.add_option("--buttons", settings.buttons, "number of buttons, 0 to " + std::to_string(MAX_CONTROLS))
        ->check(CLI::Range(0U, MAX_CONTROLS))
        ->capture_default_str()
        ->group(SEGMENTS);
    app.add_option("--valuators", settings.valuators, "number of valuators, 0 to " + std::to_string(MAX_CONTROLS))
        ->check(CLI::Range(0U, MAX_CONTROLS))
        ->capture_default_str()
        ->group(SEGMENTS);
    addModeOption(app, settings.mode,
                  "permission bits of the segments, in octal (default 0660: trackd's owner and group; readers\n"
                  "attach read-write, so they need write permission: put them in the segments' group)")
        ->group(SEGMENTS);
    app.add_flag("--replace", settings.replace, "remove segments that already exist under the keys")->group(SEGMENTS);
    app.add_option("--rate", settings.rate, "updates per second, 0.1 to 100000")
        ->check(finiteRange(0.1, 100000))
        ->capture_default_str()
        ->type_name("HZ")
        ->group(MOTION);
    app.add_option("--jitter", settings.jitter,
                   "move each update by up to this many microseconds either way, at random, as a real tracker's\n"
                   "timing wavers (less than half the period between updates)")
        ->check(finiteRange(0, 1e6))
        ->capture_default_str()
        ->type_name("US")
        ->group(MOTION);
    app.add_flag("--static", settings.still,
                 "write one fixed pose and keep it: sensor i at (0.5+i, 1.25+i, -2-i) with angles X, Y, Z of\n"
                 "(10+15i, 20+10i, 30+5i) degrees, button i = i+1, valuator i = 0.25i-0.5")
        ->group(MOTION);
    app.add_flag("--pattern", settings.pattern,
                 "write values from which a reader can check every word: with k = frame mod 100, sensor s's\n"
                 "position component c is 1000s+100c+k, its angles X, Y, Z are 2k, k, 3k; button b is\n"
                 "1000b+k, valuator v is 1000v+k (not with --static)")
        ->excludes("--static")
        ->group(MOTION);
    app.add_option("--duration", settings.duration, "stop after this many seconds (default: run until stopped)")
        ->check(clockSeconds())
        ->type_name("SECONDS")
        ->group(MOTION);
    auto* playOption = app.add_option("--play", settings.play,
                                      "replay a recording made by trackd-monitor --record, then stop (not with "
                                      "--static, --pattern or --interactive)")
                           ->type_name("FILE")
                           ->group(REPLAY);
    app.add_flag("--loop", settings.loop, "with --play, start again at the end")->needs(playOption)->group(REPLAY);
    app.add_flag("--hold", settings.hold, "with --play, keep the last frame in place at the end")
        ->needs(playOption)
        ->excludes("--loop")
        ->group(REPLAY);
    app.add_option("--speed", settings.speed, "with --play, play this many times faster (0.5: half as fast)")
        ->check(finiteRange(0.001, 1000))
        ->needs(playOption)
        ->capture_default_str()
        ->group(REPLAY);
    app.add_option("--from", settings.from,
                   "with --play, start at this many seconds on the recording's clock (its \"time\" values), with\n"
                   "the frame in place then")
        ->check(finiteRange(0, LONGEST_SECONDS))
        ->needs(playOption)
        ->type_name("SECONDS")
        ->group(REPLAY);
    app.add_option("--to", settings.to, "with --play, end after the last frame at or before this many seconds")
        ->check(finiteRange(0, LONGEST_SECONDS))
        ->needs(playOption)
        ->type_name("SECONDS")
        ->group(REPLAY);
    playOption->excludes(app.get_option("--static"))->excludes(app.get_option("--pattern"));

    auto* interactiveOption =
        app.add_flag("--interactive", settings.interactive,
                     "write the values that a person gives instead of a motion: keys in a terminal, or commands\n"
                     "with --commands (both below); with --play, keys control the replay (below)")
            ->group(DRIVING);
    app.add_flag("--commands", settings.drive.commands,
                 "with --interactive, read JSON commands from standard input instead of keys")
        ->needs(interactiveOption)
        ->group(DRIVING);
    addPointOption(app, "--head", settings.start.head,
                   "start position of sensor 0, the head (default 0,1.7,0: eye height)")
        ->group(DRIVING);
    addPointOption(app, "--wand", settings.start.wand,
                   "start position of sensor 1, the wand (default 0,1.3,-0.3: in front of the head, 0.4\n"
                   "below it); further sensors start in a row to its right, 0.25 apart")
        ->group(DRIVING);
    trackd_tools::addInstallationOption(app, settings.installation)
        ->description("the installation file (default $ZORAVOVAR_INSTALLATION, else " ZORAVOVAR_ROOM_DEFAULT_PATH
                      " where it\nexists): its head and wand sensors are driven as head and wand, starting at\n"
                      "eye height 1.7 m in the room and 0.3 m in front, upright and facing the room's -Z,\n"
                      "unless --head or --wand says otherwise (in the tracker's coordinates)")
        ->group(DRIVING);
    app.add_option("--step", settings.steps.move, "distance one key moves a sensor, in the installation's units")
        ->check(finiteRange(0.0001, 100))
        ->capture_default_str()
        ->group(DRIVING);
    app.add_option("--turn-step", settings.steps.turn, "degrees one key turns a sensor")
        ->check(finiteRange(0.01, 180))
        ->capture_default_str()
        ->type_name("DEGREES")
        ->group(DRIVING);
    app.add_option("--valuator-step", settings.steps.valuator, "how far one key pushes a valuator")
        ->check(finiteRange(0.001, 2))
        ->capture_default_str()
        ->group(DRIVING);
    auto* recordOption = app.add_option("--record", settings.drive.record,
                                        "with --interactive, write each change to FILE as trackd-monitor --record\n"
                                        "does, for trackd-sim --play")
                             ->type_name("FILE")
                             ->needs(interactiveOption)
                             ->group(DRIVING);
    app.add_flag("--overwrite", settings.drive.overwrite, "with --record, replace FILE if it exists")
        ->needs(recordOption)
        ->group(DRIVING);
    interactiveOption->excludes(app.get_option("--static"))->excludes(app.get_option("--pattern"));
    for (const char* name : {"--head", "--wand", "--installation", "--step", "--turn-step", "--valuator-step"})
        app.get_option(name)->needs(interactiveOption);
    app.parse_complete_callback([&] {
        checkDistinctKeys(settings.trackerKey, settings.controllerKey);
        if (settings.jitter * 1e-6 >= 0.5 / settings.rate)
            throw CLI::ValidationError("--jitter", "must be less than half the period between updates (" +
                                                       shortNumber(0.5e6 / settings.rate) + " us at --rate " +
                                                       shortNumber(settings.rate) + ")");
    });
    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    if (!settings.play.empty() && settings.interactive &&
        (settings.drive.commands || !settings.drive.record.empty() || settings.loop || settings.hold)) {
        std::cerr << "trackd-sim: --play with --interactive takes keys only: --commands, --record, --loop and "
                     "--hold do not go with it\n";
        return EXIT_BAD_USAGE;
    }
    if (settings.to < settings.from) {
        std::cerr << "trackd-sim: --to must not come before --from\n";
        return EXIT_BAD_USAGE;
    }
    if (settings.interactive && !settings.drive.commands && isatty(STDIN_FILENO) == 0) {
        std::cerr << "trackd-sim: --interactive reads keys from a terminal, and standard input is not one "
                     "(programs send commands with --commands)\n";
        return EXIT_BAD_USAGE;
    }
    if (settings.interactive) {
        // A file named on the command line or in the environment that is wrong is bad usage, as a wrong option is.
        try {
            if (const std::optional<Installation> installation = loadInstallation(settings.installation))
                settings.start =
                    startInRoom(*installation, settings.start, app.count("--head") > 0, app.count("--wand") > 0);
        } catch (const InstallationError& e) {
            std::cerr << "trackd-sim: " << printable(e.what()) << '\n';
            return EXIT_BAD_USAGE;
        }
    }
    if (const std::string warning = modeWarning(settings.mode); !warning.empty())
        std::cerr << "trackd-sim: " << warning << '\n';

    try {
        return run(std::move(settings));
    } catch (const std::exception& e) {
        std::cerr << "trackd-sim: " << printable(e.what()) << '\n';  // its messages quote file names
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
