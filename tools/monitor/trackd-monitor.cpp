// trackd-monitor: shows what trackd's segments hold and whether they are healthy, through the library's own functions.
// main only reads the command line into Settings and hands them to run (run.cpp), over the segment
// follower, the reading, the renderings, the output and the key reader.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>

#include "markers.h"
#include "options.h"
#include "printable.h"
#include "settings.h"
#include "snapshot.h"

using namespace trackd_monitor;
using namespace trackd_tools;

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-monitor: shows what trackd's tracker and controller segments hold (sensor positions and\n"
        "angles in degrees, buttons, valuators) and each segment's health: size, owner and mode, how often\n"
        "it changes, and whether its key still names it. The live view refreshes in place until q, Ctrl-C\n"
        "or --duration; when trackd replaces a segment, the monitor attaches the new one by itself."};
    addVersion(app, "trackd-monitor");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "System V key of the tracker segment");
    addKeyOption(app, "--controller-key", settings.controllerKey, "System V key of the controller segment");
    app.add_option("--rate", settings.rate, "snapshots shown or written per second")
        ->check(finiteRange(0.1, 1000))
        ->capture_default_str();
    app.add_option("--poll-rate", settings.pollRate,
                   "reads per second while trackd's rhythm is not known (or with --steady-poll)")
        ->check(finiteRange(1, 100000))
        ->capture_default_str();
    app.add_flag("--steady-poll", settings.steadyPoll,
                 "read at --poll-rate all the time, instead of sleeping until trackd's next write is due");
    app.add_flag("--once", settings.once, "print one snapshot with the segments' health, then exit");
    app.add_option("--sample", settings.sampleFor, "with --once, seconds to watch for changes first")
        ->check(finiteRange(0, 60))
        ->capture_default_str();
    app.add_flag("--json", settings.json, "write one JSON object a line instead of the live view");
    app.add_flag("--matrix", settings.matrices, "also show each sensor's pose matrix");
    app.add_option("--sensors", settings.maxSensors, "show at most this many sensors")
        ->check(CLI::Range(1U, 4096U))
        ->capture_default_str();
    app.add_option("--record", settings.record,
                   "write every change of the segments to FILE, one JSON line each after a format line, for\n"
                   "trackd-sim --play")
        ->type_name("FILE");
    app.add_flag("--overwrite", settings.overwrite, "with --record, replace FILE if it exists")
        ->needs(app.get_option("--record"));
    app.add_option("--markers", settings.markers,
                   "with --record, take markers on a Unix datagram socket at PATH: each datagram of up to 1024\n"
                   "bytes of UTF-8 becomes a line {\"time\": T, \"marker\": TEXT} in order with the frames")
        ->type_name("PATH")
        ->needs(app.get_option("--record"));
    std::vector<std::string> mark;
    app.add_option("--mark", mark, "send TEXT as a marker to the recorder listening at PATH, then exit")
        ->type_name("PATH TEXT")
        ->expected(2);
    addSensorNamesOption(app, settings.names,
                         "names of sensors 0, 1, ... in order, such as head,wand: shown beside their numbers, in\n"
                         "--json as each sensor's \"name\", and kept in a recording's first line");
    app.add_option("--duration", settings.duration, "stop after this many seconds")->check(clockSeconds());
    app.add_flag("--wait", settings.wait, "wait for segments that do not exist yet, saying which");
    app.get_option("--once")->excludes(app.get_option("--record"));
    app.get_option("--mark")->excludes(app.get_option("--record"))->excludes(app.get_option("--once"));
    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    if (!mark.empty() && !markerProblem(mark[1]).empty()) {
        std::cerr << "trackd-monitor: the marker " << markerProblem(mark[1]) << '\n';
        return EXIT_BAD_USAGE;
    }
    try {
        if (!mark.empty()) return sendMarker(mark[0], mark[1]);
        return run(settings);
    } catch (const std::exception& e) {
        std::cerr << "trackd-monitor: " << printable(e.what()) << '\n';  // its messages quote file names
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
