// trackd-monitor: shows what trackd's segments hold and whether they are healthy, through the library's own functions.
// main only reads the command line into Settings and hands them to run (run.cpp), over the segment
// follower, the reading, the renderings, the output and the key reader.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "help.h"
#include "installation.h"
#include "markers.h"
#include "options.h"
#include "printable.h"
#include "settings.h"
#include "snapshot.h"

using namespace trackd_monitor;
using namespace trackd_tools;

namespace {

constexpr const char* SEGMENTS = "Segments";
constexpr const char* SHOWING = "Showing";
constexpr const char* RECORDING = "Recording";

HelpEnd monitorHelpEnd() {
    return {{},
            {{"0", "stopped by q, a signal or --duration; --once found both segments"},
             {"1", "a failure at run time: no segment under a key (without --wait), an unwritable recording"},
             {"2", "bad usage: an unknown option, a value out of range, options that exclude each other"}},
            {{"The live view of trackd's segments under the default keys:", "trackd-monitor"},
             {"One snapshot with the segments' health, after watching them for a second:",
              "trackd-monitor --once --sample 1"},
             {"Record a session for trackd-sim --play, naming the sensors:",
              "trackd-monitor --record session.jsonl --names head,wand"},
             {"JSON lines, 10 a second, for another program:", "trackd-monitor --json --rate 10"}}};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-monitor shows what trackd's tracker and controller segments hold (sensor positions and\n"
        "angles in degrees, buttons, valuators) and each segment's health: size, owner and mode, how often\n"
        "it changes, and whether its key still names it. The live view refreshes in place until q, Ctrl-C\n"
        "or --duration; when trackd replaces a segment, the monitor attaches the new one by itself."};
    useToolHelp(app, "trackd-monitor", monitorHelpEnd());
    addVersion(app, "trackd-monitor");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "System V key of the tracker segment")->group(SEGMENTS);
    addKeyOption(app, "--controller-key", settings.controllerKey, "System V key of the controller segment")
        ->group(SEGMENTS);
    app.add_flag("--wait", settings.wait, "wait for segments that do not exist yet, saying which")->group(SEGMENTS);
    app.add_option("--poll-rate", settings.pollRate,
                   "reads per second, 1 to 100000, while trackd's rhythm is not known (or with --steady-poll)")
        ->check(finiteRange(1, 100000))
        ->capture_default_str()
        ->type_name("HZ")
        ->group(SEGMENTS);
    app.add_flag("--steady-poll", settings.steadyPoll,
                 "read at --poll-rate all the time, instead of sleeping until trackd's next write is due")
        ->group(SEGMENTS);
    app.add_option("--rate", settings.rate, "snapshots shown or written per second, 0.1 to 1000")
        ->check(finiteRange(0.1, 1000))
        ->capture_default_str()
        ->type_name("HZ")
        ->group(SHOWING);
    app.add_flag("--once", settings.once, "print one snapshot with the segments' health, then exit")->group(SHOWING);
    app.add_option("--sample", settings.sampleFor, "with --once, seconds to watch for changes first, 0 to 60")
        ->check(finiteRange(0, 60))
        ->capture_default_str()
        ->type_name("SECONDS")
        ->group(SHOWING);
    app.add_flag("--json", settings.json, "write one JSON object a line instead of the live view")->group(SHOWING);
    app.add_flag("--matrix", settings.matrices, "also show each sensor's pose matrix")->group(SHOWING);
    app.add_option("--sensors", settings.maxSensors, "show at most this many sensors, 1 to 4096")
        ->check(CLI::Range(1U, 4096U))
        ->capture_default_str()
        ->group(SHOWING);
    addSensorNamesOption(app, settings.names,
                         "names of sensors 0, 1, ... in order, such as head,wand: shown beside their numbers, in\n"
                         "--json as each sensor's \"name\", and kept in a recording's first line")
        ->group(SHOWING);
    trackd_tools::addInstallationOption(app, settings.installation)->group(SHOWING);
    app.add_flag("--room", settings.room,
                 "also show each sensor's position in metres and angles in the room the installation\n"
                 "describes, in --json as each sensor's \"room\"")
        ->group(SHOWING);
    app.add_option("--duration", settings.duration, "stop after this many seconds")
        ->check(clockSeconds())
        ->type_name("SECONDS")
        ->group(SHOWING);
    app.add_option("--record", settings.record,
                   "write every change of the segments to FILE, one JSON line each after a format line, for\n"
                   "trackd-sim --play (not with --once)")
        ->type_name("FILE")
        ->group(RECORDING);
    app.add_flag("--overwrite", settings.overwrite, "with --record, replace FILE if it exists")
        ->needs(app.get_option("--record"))
        ->group(RECORDING);
    app.add_option("--markers", settings.markers,
                   "with --record, take markers on a Unix datagram socket at PATH: each datagram of up to 1024\n"
                   "bytes of UTF-8 becomes a line {\"time\": T, \"marker\": TEXT} in order with the frames")
        ->type_name("PATH")
        ->needs(app.get_option("--record"))
        ->group(RECORDING);
    std::vector<std::string> mark;
    app.add_option("--mark", mark, "send TEXT as a marker to the recorder listening at PATH, then exit")
        ->type_name("PATH TEXT")
        ->expected(2)
        ->group(RECORDING);
    app.get_option("--once")->excludes(app.get_option("--record"));
    app.get_option("--mark")->excludes(app.get_option("--record"))->excludes(app.get_option("--once"));
    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    if (!mark.empty() && !markerProblem(mark[1]).empty()) {
        std::cerr << "trackd-monitor: the marker " << markerProblem(mark[1]) << '\n';
        return EXIT_BAD_USAGE;
    }
    if (!mark.empty()) {
        try {
            return sendMarker(mark[0], mark[1]);
        } catch (const std::exception& e) {
            std::cerr << "trackd-monitor: " << printable(e.what()) << '\n';
            return EXIT_FAILURE_AT_RUN_TIME;
        }
    }
    // A file named on the command line or in the environment that is wrong is bad usage, as a wrong option is.
    Room room;
    try {
        room.installation = loadInstallation(settings.installation);
    } catch (const InstallationError& e) {
        std::cerr << "trackd-monitor: " << printable(e.what()) << '\n';
        return EXIT_BAD_USAGE;
    }
    if (settings.room && !room.installation) {
        std::cerr << "trackd-monitor: --room needs an installation: --installation FILE, $ZORAVOVAR_INSTALLATION "
                     "or " ZORAVOVAR_ROOM_DEFAULT_PATH "\n";
        return EXIT_BAD_USAGE;
    }
    room.names = settings.names;
    if (room.installation) {
        if (const std::string disagreement = namesDisagreement(*room.installation, settings.names);
            !disagreement.empty()) {
            std::cerr << "trackd-monitor: " << printable(disagreement) << '\n';
            return EXIT_BAD_USAGE;
        }
        const std::vector<std::string> fromFile = room.installation->namesByIndex();
        if (room.names.size() < fromFile.size()) room.names.resize(fromFile.size());
        for (std::size_t i = 0; i < fromFile.size(); ++i)
            if (room.names[i].empty()) room.names[i] = fromFile[i];
    }
    try {
        return run(settings, room);
    } catch (const std::exception& e) {
        std::cerr << "trackd-monitor: " << printable(e.what()) << '\n';  // its messages quote file names
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
