// trackd-sim, trackd-monitor and the Java demo tested against each other through real segments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <pty.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "driving.h"
#include "options.h"
#include "process.h"
#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;
using nlohmann::json;
using testing_processes::Process;
using trackd_tools::keyText;

namespace {

const std::string SIM = TRACKD_SIM;
const std::string MONITOR = TRACKD_MONITOR;
constexpr const char* EMULATOR = TOOLS_EMULATOR;  // empty unless the build runs its programs through one

struct Keys {
    int tracker = unusedKey();
    int controller = unusedKey();
    std::vector<std::string> args() const {
        return {"--tracker-key", std::to_string(tracker), "--controller-key", std::to_string(controller)};
    }
};

// A tool's command line, led by the emulator when the build runs its programs through one.
std::vector<std::string> invocation(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (*EMULATOR != '\0') argv.emplace_back(EMULATOR);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> command(const std::string& program, const Keys& keys, std::vector<std::string> more) {
    std::vector<std::string> args = keys.args();
    args.insert(args.end(), more.begin(), more.end());
    return invocation(program, args);
}

bool segmentExists(int key) { return shmget(key, 0, 0) >= 0; }

// A simulator running in the background for one test, stopped with SIGTERM at the end.
class RunningSim {
public:
    RunningSim(const Keys& keys, std::vector<std::string> more) : process(command(SIM, keys, std::move(more))) {
        banner = process.firstLine();
        EXPECT_NE(banner.find("trackd-sim: tracker key"), std::string::npos) << process.err;
    }
    ~RunningSim() { stop(); }
    int stop(int signal = SIGTERM) {
        if (!stopped_) {
            process.signal(signal);
            exitCode_ = process.wait();
            stopped_ = true;
        }
        return exitCode_;
    }
    Process process;
    std::string banner;

private:
    bool stopped_ = false;
    int exitCode_ = -1;
};

json monitorOnce(const Keys& keys, std::vector<std::string> more = {}, const std::string& sampleSeconds = "0") {
    std::vector<std::string> args{"--once", "--json", "--sample", sampleSeconds};
    args.insert(args.end(), more.begin(), more.end());
    Process monitor(command(MONITOR, keys, args));
    EXPECT_EQ(monitor.wait(), 0) << monitor.err;
    return json::parse(monitor.out);
}

std::uint32_t bits(const json& number) { return std::bit_cast<std::uint32_t>(number.get<float>()); }

TEST(simAndMonitor, staticPoseArrivesBitForBit) {
    const Keys keys;
    RunningSim sim(keys, {"--static", "--sensors", "3", "--buttons", "3", "--valuators", "2"});
    const json line = monitorOnce(keys, {"--matrix"});
    ASSERT_EQ(line["sensors"].size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto f = static_cast<float>(i);
        const json& sensor = line["sensors"][i];
        const float position[] = {0.5F + f, 1.25F + f, -2 - f};
        const float angles[] = {10 + 15 * f, 20 + 10 * f, 30 + 5 * f};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(bits(sensor["position"][k]), std::bit_cast<std::uint32_t>(position[k]));
            EXPECT_EQ(bits(sensor["angles"][k]), std::bit_cast<std::uint32_t>(angles[k]));
        }
    }
    EXPECT_EQ(line["buttons"], json({1, 2, 3}));
    EXPECT_EQ(line["valuators"], json({-0.5, -0.25}));

    // The matrices the monitor shows are the library's, to the bit.
    void* tracker = trackdInitTrackerReader(keys.tracker);
    ASSERT_NE(tracker, nullptr);
    float m[4][4];
    ASSERT_EQ(trackdGetMatrix(tracker, 2, m), 1);
    for (std::size_t e = 0; e < 16; ++e)
        EXPECT_EQ(bits(line["sensors"][2]["matrix"][e]), std::bit_cast<std::uint32_t>(m[e / 4][e % 4]));

    const json& health = line["health"]["tracker"];
    EXPECT_EQ(health["key"], keys.tracker);
    EXPECT_EQ(health["mode"], "0660");  // the simulator's default: owner and group, never everyone
    EXPECT_EQ(health["size"], 1308);
    EXPECT_EQ(health["removed"], false);
    EXPECT_GE(health["attached"].get<int>(), 2);
}

// The k of --pattern in a recorded line: one for the sensors, one for the controls, or -1 when a
// segment's words disagree, which means the line mixes two updates.
std::pair<int, int> patternFrame(const json& line) {
    const auto k = [](const json& value, int base) { return static_cast<int>(value.get<double>()) - base; };
    int sensorsK = k(line["sensors"][0]["position"][0], 0);
    for (int s = 0; s < static_cast<int>(line["sensors"].size()); ++s)
        for (int c = 0; c < 3; ++c)
            if (k(line["sensors"][s]["position"][c], 1000 * s + 100 * c) != sensorsK) sensorsK = -1;
    int controlsK = line["buttons"][0].get<int>();
    for (int b = 0; b < static_cast<int>(line["buttons"].size()); ++b)
        if (line["buttons"][b].get<int>() - 1000 * b != controlsK) controlsK = -1;
    for (int v = 0; v < static_cast<int>(line["valuators"].size()); ++v)
        if (k(line["valuators"][v], 1000 * v) != controlsK) controlsK = -1;
    return {sensorsK, controlsK};
}

TEST(simAndMonitor, recordingKeepsEveryChangeOnceAndReplaysIt) {
    const std::string file = ::testing::TempDir() + "trackd-recording.jsonl";
    const Keys live;
    {
        RunningSim sim(live, {"--rate", "200", "--pattern"});
        Process monitor(command(MONITOR, live, {"--record", file, "--overwrite", "--duration", "1.5"}));
        ASSERT_EQ(monitor.wait(), 0) << monitor.err;
    }
    std::vector<json> recorded;
    std::ifstream in(file);
    for (std::string text; std::getline(in, text);) recorded.push_back(json::parse(text));
    ASSERT_GE(recorded.size(), 100U);
    EXPECT_EQ(recorded.front(), json({{"format", "trackd-recording"}, {"version", 1}}));
    recorded.erase(recorded.begin());
    // Each line holds one update of each segment, and the next line the next update: none repeated and
    // none missed, also on a loaded machine (the simulator never writes two updates in a burst). A
    // simulator stalled halfway through a frame leaves it half written for as long as the stall: then two
    // reads agree on it, as any reader would see it, and the line is mixed.
    int missed = 0;
    int mixed = 0;
    std::pair<int, int> previous = patternFrame(recorded.front());
    for (std::size_t i = 1; i < recorded.size(); ++i) {
        const std::pair<int, int> frame = patternFrame(recorded[i]);
        ASSERT_NE(frame, previous) << "line " << i << " repeats the line before";
        ASSERT_GE(recorded[i]["time"].get<double>(), recorded[i - 1]["time"].get<double>());
        if (frame.first == -1 || frame.second == -1) {
            ++mixed;
            continue;
        }
        for (const auto& [was, is] : {std::pair{previous.first, frame.first}, {previous.second, frame.second}})
            missed += was != -1 && (is - was + 100) % 100 > 1 ? 1 : 0;
        previous = frame;
    }
    // An update is missed only while the recorder cannot run: without real-time priority on a busy machine,
    // and on a virtual machine whenever the host stalls its processor, whatever its priority.
    EXPECT_LE(missed, static_cast<int>(recorded.size()) / 10) << "updates missed in " << recorded.size();
    EXPECT_LE(mixed, static_cast<int>(recorded.size()) / 10) << "lines mixing two updates in " << recorded.size();

    // Replayed with --hold, the last frame stays in place; without it, the simulator says so and stops.
    const Keys replay;
    RunningSim sim(replay, {"--play", file, "--hold", "--speed", "4"});
    json seen;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seen = monitorOnce(replay);
        if (seen["sensors"] == recorded.back()["sensors"]) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(seen["sensors"], recorded.back()["sensors"]);
    EXPECT_EQ(seen["buttons"], recorded.back()["buttons"]);
    EXPECT_EQ(seen["valuators"], recorded.back()["valuators"]);
}

TEST(simAndMonitor, aRecordingNeitherReplacesAFileUnaskedNorSharesOneWithAnotherRecorder) {
    const std::string file = ::testing::TempDir() + "trackd-recording-shared.jsonl";
    std::ofstream(file) << "kept\n";
    const Keys keys;
    RunningSim sim(keys, {"--rate", "100"});
    Process unasked(command(MONITOR, keys, {"--record", file, "--duration", "1"}));
    EXPECT_EQ(unasked.wait(), 1);
    EXPECT_EQ(unasked.err, "trackd-monitor: " + file + " exists; pass --overwrite to replace it\n");
    std::string text;
    std::getline(std::ifstream(file), text);
    EXPECT_EQ(text, "kept");

    Process first(command(MONITOR, keys, {"--record", file, "--overwrite", "--duration", "3"}));
    EXPECT_NE(first.firstLine().find("recording every change"), std::string::npos);
    Process second(command(MONITOR, keys, {"--record", file, "--overwrite", "--duration", "1"}));
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.err.find("is being written by another process"), std::string::npos) << second.err;
    EXPECT_EQ(first.wait(), 0) << first.err;
    std::ifstream in(file);
    int lines = 0;
    for (; std::getline(in, text); ++lines) EXPECT_TRUE(json::accept(text)) << text;
    EXPECT_GE(lines, 100);
}

TEST(simAndMonitor, replayEndsAtTheEndAndKeepsItsSpeed) {
    // Twenty seconds of recording: played 100 times faster, it ends within the wait's limit.
    const std::string file = ::testing::TempDir() + "trackd-speed.jsonl";
    std::ofstream(file)
        << R"({"time":0,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[],"valuators":[]})"
        << "\n"
        << R"({"time":20,"sensors":[{"position":[1,1,1],"angles":[0,0,0]}],"buttons":[],"valuators":[]})"
        << "\n";
    const Keys keys;
    Process sim(command(SIM, keys, {"--play", file, "--speed", "100"}));
    EXPECT_EQ(sim.wait(std::chrono::seconds(10)), 0) << sim.err;
    EXPECT_NE(sim.out.find("trackd-sim: the recording " + file + " ended\n"), std::string::npos) << sim.out;
    EXPECT_FALSE(segmentExists(keys.tracker));
}

TEST(simAndMonitor, loopingReplayStartsAgainAfterTheLastFrame) {
    const std::string file = ::testing::TempDir() + "trackd-loop.jsonl";
    {
        std::ofstream out(file);
        for (int frame = 0; frame < 3; ++frame)
            out << R"({"time":)" << 0.1 * frame << R"(,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[)"
                << frame + 1 << R"(],"valuators":[]})" << '\n';
    }
    const auto buttonsSeen = [&](bool loop) {
        const Keys keys;
        std::vector<std::string> options{"--play", file, "--rate", "10"};
        if (loop) options.emplace_back("--loop");
        RunningSim sim(keys, options);
        Process monitor(command(MONITOR, keys, {"--json", "--rate", "50", "--duration", "1"}));
        EXPECT_EQ(monitor.wait(), 0) << monitor.err;
        std::vector<int> buttons;
        std::istringstream lines(monitor.out);
        for (std::string text; std::getline(lines, text);) buttons.push_back(json::parse(text)["buttons"][0]);
        return buttons;
    };
    // A loop replays 1, 2, 3 and, one update period after the last frame, 1 again; without it 3 stays.
    const std::vector<int> looped = buttonsSeen(true);
    const auto lastThree = std::find(looped.begin(), looped.end(), 3);
    ASSERT_NE(lastThree, looped.end());
    EXPECT_NE(std::find(lastThree, looped.end(), 1), looped.end());
    const std::vector<int> once = buttonsSeen(false);
    EXPECT_EQ(once.back(), 3);
    EXPECT_EQ(std::find(std::find(once.begin(), once.end(), 3), once.end(), 1), once.end());
}

TEST(simAndMonitor, monitorFlagsRemovedAndFrozenSegments) {
    const Keys keys;
    RunningSim sim(keys, {"--rate", "200"});
    Process monitor(command(MONITOR, keys, {"--json", "--rate", "10", "--duration", "1.5"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(sim.stop(), 0);
    ASSERT_EQ(monitor.wait(), 0) << monitor.err;
    std::vector<json> lines;
    std::istringstream out(monitor.out);
    for (std::string text; std::getline(out, text);) lines.push_back(json::parse(text));
    ASSERT_GE(lines.size(), 10U);
    EXPECT_EQ(lines[3]["health"]["tracker"]["state"], "live");
    EXPECT_GT(lines[3]["health"]["tracker"]["updatesPerSecond"].get<double>(), 100);
    EXPECT_EQ(lines.back()["health"]["tracker"]["removed"], true);
    EXPECT_EQ(lines.back()["health"]["controller"]["state"].get<std::string>().rfind("REMOVED:", 0), 0U);

    const Keys still;
    RunningSim staticSim(still, {"--static"});
    EXPECT_EQ(monitorOnce(still)["health"]["tracker"]["state"], "measuring");
    const json frozen = monitorOnce(still, {}, "2.2");
    EXPECT_EQ(frozen["health"]["tracker"]["state"].get<std::string>().rfind("FROZEN: no change for 2.", 0), 0U)
        << frozen["health"];
}

TEST(simAndMonitor, sensorNamesLabelTheMonitorsOutputAndTheRecordingAndSurviveReplay) {
    const Keys keys;
    RunningSim sim(keys, {"--static", "--sensors", "3"});
    const json line = monitorOnce(keys, {"--names", "head,wand"});
    EXPECT_EQ(line["sensors"][0]["name"], "head");
    EXPECT_EQ(line["sensors"][1]["name"], "wand");
    EXPECT_FALSE(line["sensors"][2].contains("name")) << "a sensor beyond the names stays numbered";
    Process shown(command(MONITOR, keys, {"--once", "--sample", "0", "--names", "head,wand"}));
    ASSERT_EQ(shown.wait(), 0) << shown.err;
    EXPECT_NE(shown.out.find("\n0 head      0.5000     1.2500    -2.0000"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\n2           2.5000     3.2500    -4.0000"), std::string::npos) << shown.out;

    const std::string file = ::testing::TempDir() + "trackd-named.jsonl";
    Process recorder(
        command(MONITOR, keys, {"--record", file, "--overwrite", "--duration", "0.3", "--names", "head,wand"}));
    ASSERT_EQ(recorder.wait(), 0) << recorder.err;
    std::string header;
    std::getline(std::ifstream(file), header);
    EXPECT_EQ(header, R"({"format":"trackd-recording","sensorNames":["head","wand"],"version":1})");
    const Keys replay;
    RunningSim player(replay, {"--play", file, "--hold"});
    EXPECT_EQ(player.process.line(1),
              "trackd-sim: the recording names its sensors: --names head,wand shows them in trackd-monitor and "
              "trackd-viewer");

    // A header whose names break the rules is refused by line, before any segment is made.
    std::ofstream(file) << R"({"format":"trackd-recording","version":1,"sensorNames":["head",""]})" << '\n'
                        << R"({"time":0,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[],"valuators":[]})"
                        << '\n';
    const Keys refused;
    Process bad(command(SIM, refused, {"--play", file}));
    EXPECT_EQ(bad.wait(), 1);
    EXPECT_EQ(bad.err, "trackd-sim: " + file + ":1: \"sensorNames\": sensor 1's name is empty\n");
    Process badOption(command(MONITOR, keys, {"--once", "--names", "head,,wand"}));
    EXPECT_EQ(badOption.wait(), 2);
    EXPECT_NE(badOption.err.find("sensor 1's name is empty"), std::string::npos) << badOption.err;
}

TEST(simLifecycle, removesBothSegmentsOnEveryTerminatingSignal) {
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE}) {
        const Keys keys;
        RunningSim sim(keys, {});
        EXPECT_TRUE(segmentExists(keys.tracker));
        EXPECT_TRUE(segmentExists(keys.controller));
        EXPECT_EQ(sim.stop(signal), 0);
        EXPECT_FALSE(segmentExists(keys.tracker));
        EXPECT_FALSE(segmentExists(keys.controller));
    }
}

TEST(simLifecycle, warnsThatAWorldWritableModeLetsAnyoneForgePoses) {
    const Keys keys;
    RunningSim open(keys, {"--static", "--mode", "0666"});
    EXPECT_EQ(open.stop(), 0);
    EXPECT_NE(open.process.err.find("trackd-sim: warning: mode 0666 makes the segments writable by everyone: anyone on "
                                    "this host can forge poses"),
              std::string::npos)
        << open.process.err;
}

TEST(simLifecycle, refusesAnOccupiedKeyUnlessToldToReplace) {
    Segment occupied(64);
    Keys keys;
    keys.controller = occupied.key();
    Process refused(command(SIM, keys, {}));
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_EQ(refused.err, "trackd-sim: a segment already exists for the controller key " + keyText(occupied.key()) +
                               "; stop what made it, or pass --replace\n");
    EXPECT_FALSE(segmentExists(keys.tracker)) << "the tracker segment made before the refusal was left behind";

    RunningSim replacing(keys, {"--replace", "--static"});
    EXPECT_EQ(monitorOnce(keys)["health"]["controller"]["size"], 296);
}

TEST(simLifecycle, refusesBadOptionsAndRecordingsWithTheRightStatus) {
    const Keys keys;
    const auto refusal = [&](const std::vector<std::string>& argv, int expectedStatus) {
        Process sim(argv);
        EXPECT_EQ(sim.wait(), expectedStatus) << argv.back() << ": " << sim.err;
        EXPECT_LT(sim.err.size(), 300U) << sim.err;  // readable: no 309-digit bounds
        return sim.err;
    };
    const auto usage = [&](const std::vector<std::string>& args) { return refusal(command(SIM, keys, args), 2); };
    EXPECT_NE(refusal(invocation(SIM, {"--tracker-key", "tracker"}), 2).find("'tracker' is not a 32-bit System V key"),
              std::string::npos);
    EXPECT_NE(refusal(invocation(SIM, {"--tracker-key", "0"}), 2).find("IPC_PRIVATE"), std::string::npos);
    EXPECT_NE(usage({"--sensors", "0"}).find("--sensors"), std::string::npos);
    for (const char* rate : {"-5", "nan", "inf"}) EXPECT_NE(usage({"--rate", rate}).find("--rate"), std::string::npos);
    for (const char* duration : {"nan", "inf", "-1", "1e300"})
        EXPECT_NE(usage({"--duration", duration}).find("--duration"), std::string::npos);
    EXPECT_NE(usage({"--speed", "nan", "--play", "x"}).find("--speed"), std::string::npos);
    EXPECT_NE(usage({"--no-such-option"}).find("--no-such-option"), std::string::npos);
    EXPECT_NE(refusal(invocation(SIM, {"--tracker-key", "7501", "--controller-key", "7501"}), 2).find("must differ"),
              std::string::npos);
    EXPECT_NE(usage({"--mode", "0778"}).find("not an octal permission"), std::string::npos);
    for (const char* point : {"1,2", "1,2,3,4", "a,b,c", "nan,0,0", "1e9,0,0", ""})
        EXPECT_NE(usage({"--interactive", "--head", point}).find("--head: '"), std::string::npos) << point;
    EXPECT_NE(usage({"--commands"}).find("--interactive"), std::string::npos);

    // Recordings are refused by line, before any segment is made, with status 1.
    const std::string file = ::testing::TempDir() + "trackd-bad-recording.jsonl";
    const std::string good =
        R"({"time":0,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[1],"valuators":[0]})";
    const auto playing = [&](const std::string& second) {
        std::ofstream(file) << good << '\n' << second << '\n';
        return refusal(command(SIM, keys, {"--play", file}), 1);
    };
    const auto line2 = "trackd-sim: " + file + ":2: ";
    EXPECT_EQ(playing(R"({"time":0.1,"sensors":[],"buttons":"pressed","valuators":[]})"),
              line2 + "\"buttons\" is not an array\n");
    EXPECT_EQ(
        playing(
            R"({"time":0.1,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[4294967296],"valuators":[0]})"),
        line2 + "a button is not a 32-bit integer\n");
    EXPECT_EQ(
        playing(R"({"time":0.1,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[1],"valuators":[1e39]})"),
        line2 + "a number does not fit in a float: '1e39'\n");
    EXPECT_EQ(
        playing(R"({"time":1e30,"sensors":[{"position":[0,0,0],"angles":[0,0,0]}],"buttons":[1],"valuators":[0]})"),
        line2 + "\"time\" is not a number of seconds that the clock can hold\n");
    EXPECT_EQ(playing(std::string(std::size_t{1} << 21, ' ')), line2 + "the line is longer than 1 MiB\n");
    // Refused midway, once the segments exist: both go with the simulator, under either key.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(playing(R"({"time":0.1,"sensors":[],"buttons":[],"valuators":[],"x":)" + deep + "}"),
              line2 + "arrays and objects nest deeper than 64 levels\n");
    EXPECT_FALSE(segmentExists(keys.tracker) || segmentExists(keys.controller));
    std::ofstream(file) << R"({"format":"trackd-recording","version":1,"x":)" << deep << "}\n" << good << '\n';
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", file}), 1),
              "trackd-sim: " + file + ":1: arrays and objects nest deeper than 64 levels\n");
    std::ofstream(file) << R"({"format":"trackd-recording","version":2})" << '\n' << good << '\n';
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", file}), 1),
              "trackd-sim: " + file + ":1: format version 2 is not one this trackd-sim reads (1 at most)\n");
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", ::testing::TempDir()}), 1),
              "trackd-sim: " + ::testing::TempDir() + " is a directory, not a recording\n");
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", "/dev/zero"}), 1),
              "trackd-sim: /dev/zero is a device, not a recording\n");
    const std::string pipe = file + ".fifo";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", pipe, "--loop"}), 1),
              "trackd-sim: " + pipe + " is a pipe: --loop cannot go back to its start\n");
    unlink(pipe.c_str());
    EXPECT_NE(refusal(command(SIM, keys, {"--play", file + ".missing"}), 1).find("cannot read the recording"),
              std::string::npos);
    EXPECT_FALSE(segmentExists(keys.tracker));
}

// A tool's command line; the viewer is a launcher script, which no emulator runs.
std::vector<std::string> toolCommand(const std::string& tool, const std::vector<std::string>& args) {
    if (tool.ends_with("/trackd-viewer")) {
        std::vector<std::string> argv{tool};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    return invocation(tool, args);
}

TEST(toolsCommandLine, versionAndStatusAgreeAcrossTools) {
    std::vector<std::string> tools{SIM, MONITOR};
#ifdef TRACKD_VIEWER
    tools.emplace_back(TRACKD_VIEWER);
#endif
    for (const std::string& tool : tools) {
        const std::string name = tool.substr(tool.rfind('/') + 1);
        Process version(toolCommand(tool, {"--version"}));
        EXPECT_EQ(version.wait(), 0);
        EXPECT_EQ(version.out, name + " " ZORAVOVAR_VERSION_TEXT "\n");
        for (const char* asked : {"--help", "-h"}) {
            Process help(toolCommand(tool, {asked}));
            EXPECT_EQ(help.wait(), 0) << name << ' ' << asked;
            EXPECT_NE(help.out.find("--duration"), std::string::npos) << name << ' ' << asked << ": " << help.out;
            EXPECT_EQ(help.out.find("see the source"), std::string::npos);
        }
        for (const std::vector<std::string>& usage :
             {std::vector<std::string>{"--duration", "nan"}, {"--duration", "-1"}, {"--no-such-option"}}) {
            Process bad(toolCommand(tool, usage));
            EXPECT_EQ(bad.wait(), 2) << name << ' ' << usage[0] << ": " << bad.err;
            EXPECT_NE(bad.err.find(usage[0]), std::string::npos) << name << ": " << bad.err;
        }
    }
}

#ifdef TRACKD_VIEWER
// The build tree's viewer as a user starts it, through the launcher, here without a display (as over ssh).
TEST(viewerCommandLine, namesItselfAndSaysWhatIsWrongInOneLine) {
    const auto withoutDisplay = [] { unsetenv("DISPLAY"); };
    Process unknown({TRACKD_VIEWER, "-x"}, withoutDisplay);
    EXPECT_EQ(unknown.wait(), 2);
    EXPECT_EQ(unknown.err, "trackd-viewer: Unknown option: '-x'\nRun with --help for more information.\n");
    Process badNames({TRACKD_VIEWER, "--names", "head,head"}, withoutDisplay);
    EXPECT_EQ(badNames.wait(), 2);
    EXPECT_EQ(badNames.err.substr(0, badNames.err.find('\n')),
              "trackd-viewer: --names: the sensor name 'head' is given twice");
    Process sameKeys({TRACKD_VIEWER, "--tracker-key", "0x1ce9", "--controller-key", "7401"}, withoutDisplay);
    EXPECT_EQ(sameKeys.wait(), 2);
    EXPECT_NE(sameKeys.err.find("must differ"), std::string::npos) << sameKeys.err;

    Process noDisplay({TRACKD_VIEWER, "--duration", "5"}, withoutDisplay);
    EXPECT_EQ(noDisplay.wait(), 1);
    EXPECT_EQ(noDisplay.err, "trackd-viewer: no display: set DISPLAY, or use trackd-monitor\n");
    EXPECT_EQ(noDisplay.out, "");
}
#endif

TEST(monitorHints, tellTheLikelyCausesApart) {
    const Keys missing;
    Process absent(command(MONITOR, missing, {"--once"}));
    EXPECT_EQ(absent.wait(), 1);
    EXPECT_EQ(absent.err.rfind("ERROR: can't get tracker shared memory\nshmget: No such file or directory\n", 0), 0U);
    EXPECT_NE(absent.err.find("hint: no segment exists for tracker key " + keyText(missing.tracker)),
              std::string::npos);

    Segment small(100);
    Keys wrong;
    wrong.tracker = small.key();
    Process tooSmall(command(MONITOR, wrong, {"--once"}));
    EXPECT_EQ(tooSmall.wait(), 1);
    EXPECT_NE(tooSmall.err.find("has 100 bytes, fewer than the 1308 a tracker segment needs"), std::string::npos)
        << tooSmall.err;

    Segment readOnly(1308, 0444);
    Keys locked;
    locked.tracker = readOnly.key();
    // Root attaches any segment: the monitor runs without that power, so that the mode counts.
    Process denied(command(MONITOR, locked, {"--once"}), [] {
        if (geteuid() == 0 && prctl(PR_CAPBSET_DROP, CAP_IPC_OWNER, 0, 0, 0) != 0) _exit(99);
    });
    EXPECT_EQ(denied.wait(), 1);
    EXPECT_NE(denied.err.find("ERROR: can't attach tracker shared memory\nshmat: Permission denied\n"),
              std::string::npos)
        << denied.err;
    EXPECT_NE(denied.err.find("hint: no permission to attach the tracker segment"), std::string::npos) << denied.err;
}

TEST(monitorOutput, aWriteErrorEndsItWithStatusOne) {
    const Keys keys;
    RunningSim sim(keys, {"--static"});
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{"--once"}, {"--json", "--duration", "5"}, {"--duration", "5"}}) {
        std::vector<std::string> argv = command(MONITOR, keys, mode);
        Process full(argv, [] {
            const int device = open("/dev/full", O_WRONLY);
            if (device < 0 || dup2(device, STDOUT_FILENO) < 0) _exit(99);
        });
        EXPECT_EQ(full.wait(), 1) << mode[0];
        EXPECT_EQ(full.err, "trackd-monitor: cannot write to standard output: No space left on device\n");
    }
    Process recording(command(MONITOR, keys, {"--record", "/dev/full", "--duration", "5"}));
    EXPECT_EQ(recording.wait(), 1);
    EXPECT_EQ(recording.err, "trackd-monitor: cannot write to /dev/full: No space left on device\n");

    std::string shellLine;
    for (const std::string& word : command(MONITOR, keys, {"--json", "--duration", "5"})) shellLine += word + " ";
    Process closedPipe({"/bin/sh", "-c", "{ " + shellLine + "; echo status $? >&2; } | head -c 1 >/dev/null"});
    EXPECT_EQ(closedPipe.wait(), 0);
    EXPECT_EQ(closedPipe.err, "trackd-monitor: cannot write to standard output: Broken pipe\nstatus 1\n");
}

TEST(monitorHealth, aHeaderClaimingTooMuchIsReadAsFarAsItFitsAndSaidOnce) {
    Segment tracker(1308);
    Segment controller(296);
    putTrackerHeader(tracker, 1000, 36, 52);  // (1308 - 36 - 24) / 52 + 1 = 25 records fit
    putControllerHeader(controller, 200, 40, 1000, 3);
    Keys keys;
    keys.tracker = tracker.key();
    keys.controller = controller.key();
    Process monitor(command(MONITOR, keys, {"--json", "--rate", "20", "--duration", "0.5"}));
    ASSERT_EQ(monitor.wait(), 0) << monitor.err;
    EXPECT_EQ(monitor.err,
              "trackd-monitor: tracker header claims 1000 sensors, 25 fit in its 1308 bytes\n"
              "trackd-monitor: controller header claims 1000 buttons, 24 fit in its 296 bytes\n");
    const json line = json::parse(monitor.out.substr(0, monitor.out.find('\n')));
    EXPECT_EQ(line["sensors"].size(), 25U);
    EXPECT_EQ(line["buttons"].size(), 24U);
    EXPECT_EQ(line["valuators"].size(), 3U);
}

TEST(monitorHealth, showsOwnerModeAndWhatAttachedWhenTheOtherFailed) {
    Segment everyone(1308, 0666);
    putTrackerHeader(everyone, 1, 36, 52);
    Keys keys;
    keys.tracker = everyone.key();
    Process monitor(command(MONITOR, keys, {"--once", "--sample", "0"}));
    EXPECT_EQ(monitor.wait(), 1);
    EXPECT_NE(monitor.out.find("mode 0666"), std::string::npos) << monitor.out;
    EXPECT_NE(monitor.out.find("WARNING: writable by everyone: anyone on this host can forge poses"),
              std::string::npos);
    EXPECT_NE(monitor.out.find("controller key " + keyText(keys.controller) + ": NOT ATTACHED"), std::string::npos);
    EXPECT_NE(monitor.err.find("hint: no segment exists for controller key"), std::string::npos) << monitor.err;
}

TEST(monitorHealth, waitsForSegmentsAndFollowsAReplacement) {
    const Keys keys;
    Process monitor(command(MONITOR, keys, {"--wait", "--json", "--rate", "20", "--duration", "4"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    {
        RunningSim first(keys, {"--static"});
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
    }
    RunningSim second(keys, {"--pattern", "--rate", "100"});
    ASSERT_EQ(monitor.wait(), 0) << monitor.err;
    EXPECT_EQ(
        monitor.err.rfind("trackd-monitor: waiting for the tracker segment under key " + keyText(keys.tracker) +
                              " and the controller segment under key " + keyText(keys.controller) + "; Ctrl-C stops\n",
                          0),
        0U)
        << monitor.err;
    EXPECT_NE(monitor.err.find("tracker key " + keyText(keys.tracker) + " now names a new segment"), std::string::npos)
        << monitor.err;
    const std::string out = monitor.out.substr(0, monitor.out.size() - 1);
    const json last = json::parse(out.substr(out.rfind('\n') + 1));
    EXPECT_EQ(last["health"]["tracker"]["state"], "live");
    EXPECT_NE(patternFrame(last).first, -1) << "the last line is not the second simulator's";
    EXPECT_EQ(last["sensors"].size(), 3U);
}

// A tool on a pseudo-terminal of its own, as a person at a terminal runs it.
class OnTerminal {
public:
    explicit OnTerminal(const std::vector<std::string>& argv) {
        child_ = forkpty(&terminal_, nullptr, nullptr, nullptr);
        if (child_ < 0) throw std::runtime_error("forkpty failed");
        if (child_ == 0) {
            std::vector<char*> args;
            args.reserve(argv.size() + 1);
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~OnTerminal() {
        if (status_ == -1) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        close(terminal_);
    }
    OnTerminal(const OnTerminal&) = delete;
    OnTerminal& operator=(const OnTerminal&) = delete;

    // Reads the screen until it shows `text`; false after 10 s.
    bool shows(const std::string& text) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end)
            if (readScreen(100)) break;
        return screen.find(text) != std::string::npos;
    }
    void signal(int number) const { kill(child_, number); }
    void type(const std::string& keys) const {
        ASSERT_EQ(write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // The exit status once it has ended, or -1 after 30 s.
    int wait() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (status_ == -1 && std::chrono::steady_clock::now() < end) {
            // Once the tool has closed the terminal, it may take a moment to become a child that can be awaited.
            if (readScreen(100)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            int status = 0;
            if (waitpid(child_, &status, WNOHANG) == child_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        }
        return status_;
    }
    // The terminal's mode, as the tool left it.
    termios mode() const {
        termios now{};
        tcgetattr(terminal_, &now);
        return now;
    }

    std::string screen;

private:
    // Waits up to `milliseconds` for output, then reads all there is: a tool that fills the terminal's
    // buffer would wait for it to be read before it reads a key. True once the tool has closed the terminal.
    bool readScreen(int milliseconds) {
        pollfd ready{terminal_, POLLIN, 0};
        char buffer[4096];
        for (int wait = milliseconds; poll(&ready, 1, wait) == 1; wait = 0) {
            const ssize_t n = read(terminal_, buffer, sizeof buffer);
            if (n <= 0) return true;
            screen.append(buffer, static_cast<std::size_t>(n));
        }
        return false;
    }

    int terminal_ = -1;
    pid_t child_ = -1;
    int status_ = -1;
};

TEST(monitorOutput, theLiveViewQuitsOnQ) {
    const Keys keys;
    RunningSim sim(keys, {"--static"});
    OnTerminal monitor(command(MONITOR, keys, {"--duration", "20"}));
    EXPECT_TRUE(monitor.shows("q quits")) << monitor.screen;
    monitor.type("q");
    EXPECT_EQ(monitor.wait(), 0) << monitor.screen;
}

// What the segments hold, read through the library.
struct Driven {
    std::vector<std::array<float, 6>> sensors;  // position, then angles X, Y, Z
    std::vector<std::int32_t> buttons;
    std::vector<float> valuators;
    bool operator==(const Driven& other) const {
        const auto same = [](const auto& a, const auto& b) {
            return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0;
        };
        return same(sensors, other.sensors) && same(buttons, other.buttons) && same(valuators, other.valuators);
    }
};

std::ostream& operator<<(std::ostream& out, const Driven& d) {
    for (const auto& s : d.sensors) {
        out << "sensor";
        for (float v : s) out << ' ' << v;
        out << "; ";
    }
    out << "buttons";
    for (auto b : d.buttons) out << ' ' << b;
    out << "; valuators";
    for (float v : d.valuators) out << ' ' << v;
    return out;
}

Driven readDriven(const Keys& keys) {
    void* tracker = trackdInitTrackerReader(keys.tracker);
    void* controller = trackdInitControllerReader(keys.controller);
    Driven d;
    if (tracker == nullptr || controller == nullptr) return d;
    for (int i = 0; i < trackdGetNumberOfSensors(tracker); ++i) {
        std::array<float, 6> s{};
        trackdGetPosition(tracker, i, s.data());
        trackdGetEulerAngles(tracker, i, s.data() + 3);
        d.sensors.push_back(s);
    }
    for (int i = 0; i < trackdGetNumberOfButtons(controller); ++i) d.buttons.push_back(trackdGetButton(controller, i));
    for (int i = 0; i < trackdGetNumberOfValuators(controller); ++i)
        d.valuators.push_back(trackdGetValuator(controller, i));
    shmdt(tracker);
    shmdt(controller);
    return d;
}

// Reads the segments until they hold `expected`, for up to 10 s; returns what they held last.
Driven eventually(const Keys& keys, const Driven& expected) {
    Driven seen;
    for (int i = 0; i < 200 && !((seen = readDriven(keys)) == expected); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return seen;
}

TEST(simDriven, keysMoveTurnPressAndPushExactlyByTheirStepsAndTheSessionReplays) {
    const Keys keys;
    const std::string record = ::testing::TempDir() + "trackd-driven-" + std::to_string(keys.tracker) + ".jsonl";
    std::remove(record.c_str());
    OnTerminal sim(
        command(SIM, keys,
                {"--interactive", "--sensors", "3", "--buttons", "3", "--valuators", "2", "--wand", "0.5,1.25,-0.75",
                 "--step", "0.05", "--turn-step", "5", "--valuator-step", "0.1", "--record", record}));
    ASSERT_TRUE(sim.shows("quit, removing the segments")) << sim.screen;
    const float step = 0.05F;
    const float turn = 5.0F;
    const float push = 0.1F;
    const auto head = trackd_tools::DEFAULT_HEAD;
    Driven expected{{{head[0], head[1], head[2], 0, 0, 0},
                     {0.5F, 1.25F, -0.75F, 0, 0, 0},
                     {0.5F + trackd_tools::SENSOR_SPACING, 1.25F, -0.75F, 0, 0, 0}},
                    {0, 0, 0},
                    {0, 0}};
    EXPECT_EQ(eventually(keys, expected), expected);

    // Tab selects the wand; arrows in both escape forms, Page Up and the turning keys move and turn it.
    sim.type("\t\x1b[C\x1bOA\x1b[5~jiu");
    auto& wand = expected.sensors[1];
    wand = {0.5F + step, 1.25F + step, -0.75F - step, turn, turn, turn};
    EXPECT_EQ(eventually(keys, expected), expected);

    // x presses button 2 and releases it; the space bar presses button 0; / and + - push valuator 1.
    sim.type("x");
    expected.buttons = {0, 0, 1};
    EXPECT_EQ(eventually(keys, expected), expected);
    sim.type("x /++-");
    expected.buttons = {1, 0, 0};
    expected.valuators[1] = ((0.0F + push) + push) - push;
    EXPECT_EQ(eventually(keys, expected), expected);

    // Unknown sequences (F5, Ctrl-Home, Alt-x) change nothing; then k turns back about X; Shift-Tab
    // selects the head, which the left arrow moves.
    sim.type("\x1b[15~\x1b[1;5H\x1bxk\x1b[Z\x1b[D");
    wand[3] = turn - turn;
    expected.sensors[0][0] = head[0] - step;
    EXPECT_EQ(eventually(keys, expected), expected);
    EXPECT_TRUE(sim.shows("sensor 0 of 3 (head): position -0.0500 1.7000 0.0000")) << sim.screen;

    sim.type("q");
    EXPECT_EQ(sim.wait(), 0) << sim.screen;
    EXPECT_FALSE(segmentExists(keys.tracker));
    EXPECT_FALSE(segmentExists(keys.controller));
    EXPECT_NE(sim.mode().c_lflag & ECHO, 0U) << "the terminal is left without echo";
    EXPECT_NE(sim.mode().c_lflag & ICANON, 0U) << "the terminal is left in raw mode";

    // The recording replays to the same values.
    const Keys replayKeys;
    RunningSim replay(replayKeys, {"--play", record, "--hold"});
    EXPECT_EQ(eventually(replayKeys, expected), expected);
    std::remove(record.c_str());
}

TEST(simDriven, aSignalGivesTheTerminalBackAndRemovesTheSegments) {
    const Keys keys;
    OnTerminal sim(command(SIM, keys, {"--interactive"}));
    ASSERT_TRUE(sim.shows("quit, removing the segments")) << sim.screen;
    EXPECT_EQ(sim.mode().c_lflag & ECHO, 0U) << "keys are read without echo";
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0) << sim.screen;
    EXPECT_NE(sim.mode().c_lflag & ECHO, 0U);
    EXPECT_NE(sim.mode().c_lflag & ICANON, 0U);
    EXPECT_FALSE(segmentExists(keys.tracker));
    EXPECT_FALSE(segmentExists(keys.controller));
}

TEST(simDriven, escapeSequencesSplitAcrossReadsAreOneKeyAndALoneEscapeIsDropped) {
    using trackd_tools::Key;
    trackd_tools::KeyDecoder decoder;
    std::vector<Key> keys;
    for (const char* piece : {"\x1b", "[", "5", "~a\x1bO", "D\x1b[1;", "2C\x1b[200~\x1b"}) decoder.feed(piece, keys);
    EXPECT_EQ(keys, (std::vector<Key>{{Key::pageUp, 0}, {Key::character, 'a'}, {Key::left, 0}, {Key::right, 0}}));
    EXPECT_TRUE(decoder.pending());  // the last Escape may begin a sequence, or be a lone Escape
    decoder.drop();
    keys.clear();
    decoder.feed("q", keys);
    EXPECT_EQ(keys, (std::vector<Key>{{Key::character, 'q'}}));
}

// trackd-sim --interactive --commands reading the lines written into a pipe.
class CommandedSim {
public:
    CommandedSim(const Keys& keys, std::vector<std::string> more) {
        if (pipe(in_) != 0) throw std::runtime_error("pipe failed");
        more.insert(more.begin(), {"--interactive", "--commands"});
        const int readEnd = in_[0];
        const int writeEnd = in_[1];
        process.emplace(command(SIM, keys, more), [readEnd, writeEnd] {
            dup2(readEnd, STDIN_FILENO);
            close(readEnd);
            close(writeEnd);
        });
        close(in_[0]);
        banner = process->firstLine();
    }
    ~CommandedSim() { end(); }
    CommandedSim(const CommandedSim&) = delete;
    CommandedSim& operator=(const CommandedSim&) = delete;

    void send(const std::string& lines) const {
        ASSERT_EQ(write(in_[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    }
    // Closes the input, as a viewer that closes does; returns the exit status.
    int end() {
        if (in_[1] >= 0) {
            close(in_[1]);
            in_[1] = -1;
            status_ = process->wait();
        }
        return status_;
    }

    std::optional<Process> process;
    std::string banner;

private:
    int in_[2] = {-1, -1};
    int status_ = -1;
};

TEST(simDriven, commandsSetTheValuesAndAWrongLineIsReportedAndChangesNothing) {
    const Keys keys;
    CommandedSim sim(keys, {"--sensors", "2", "--buttons", "2", "--valuators", "1", "--head", "1,2,3"});
    ASSERT_NE(sim.banner.find("driven by commands"), std::string::npos) << sim.process->err;
    sim.send(R"({"sensor":1,"position":[0.125,1.5,-2],"angles":[10,-20,30.5]})"
             "\n"
             R"({"sensor":0,"move":[0.25,0,-0.5],"turn":[0,190,0]})"
             "\n"
             R"({"button":1,"value":-7})"
             "\n"
             R"({"valuator":0,"value":0.75})"
             "\n");
    Driven expected{{{1.25F, 2, 2.5F, 0, -170, 0}, {0.125F, 1.5F, -2, 10, -20, 30.5F}}, {0, -7}, {0.75F}};
    EXPECT_EQ(eventually(keys, expected), expected);

    // Each wrong line is named and ignored, even when part of it was right; the last line still applies.
    sim.send(
        "[1,2]\n"
        R"({"sensor":2,"move":[1,0,0]})"
        "\n"
        R"({"sensor":0,"position":[1,2,"x"]})"
        "\n"
        R"({"sensor":0,"move":[1e39,0,0],"turn":[1,1,1]})"
        "\n"
        R"({"button":0,"value":1,"sensor":0})"
        "\n"
        R"({"valuator":0,"steps":1,"value":0})"
        "\n"
        R"({"button":0,"value":18446744073709551615})"
        "\n"
        R"({"valuator":0,"steps":-9223372036854775808})"
        "\n" +
        std::string(5000, ' ') + "{}\n" + R"({"valuator":0,"steps":1})" + "\n" + R"({"reset":1})" + "\n");
    const auto wand = trackd_tools::DEFAULT_WAND;
    expected.sensors[1] = {wand[0], wand[1], wand[2], 0, 0, 0};
    expected.valuators[0] = 0.75F + trackd_tools::DriveSteps{}.valuator;
    EXPECT_EQ(eventually(keys, expected), expected);
    EXPECT_EQ(sim.end(), 0);
    EXPECT_EQ(sim.process->err,
              "trackd-sim: command line 5: not a JSON object; ignored\n"
              "trackd-sim: command line 6: \"sensor\" must be an index below the 2 sensors; ignored\n"
              "trackd-sim: command line 7: \"position\" must be a number; ignored\n"
              "trackd-sim: command line 8: \"move\" goes beyond a float; ignored\n"
              "trackd-sim: command line 9: a command names exactly one of \"sensor\", \"button\", \"valuator\", "
              "\"reset\"; ignored\n"
              "trackd-sim: command line 10: a valuator command gives either \"value\" or \"steps\"; ignored\n"
              "trackd-sim: command line 11: \"value\" of a button must be a 32-bit integer; ignored\n"
              "trackd-sim: command line 12: \"steps\" must be an integer from -1000 to 1000; ignored\n"
              "trackd-sim: command line 13 is longer than 4096 bytes; ignored\n");
    EXPECT_FALSE(segmentExists(keys.tracker));
    EXPECT_FALSE(segmentExists(keys.controller));

    // Keys need a terminal: without one, and without --commands, the simulator refuses before it starts.
    Process refused(command(SIM, keys, {"--interactive"}), [] {
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
    });
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_EQ(refused.err,
              "trackd-sim: --interactive reads keys from a terminal, and standard input is not one (programs send "
              "commands with --commands)\n");
    EXPECT_FALSE(segmentExists(keys.tracker));
}

// Text a terminal would obey (ESC, BEL, CR): no byte below 0x20 but the newline ends a line.
bool printableOnly(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n'; });
}

TEST(simDriven, hostileCommandLinesAreRefusedWithoutRecursionNorEchoedControls) {
    const Keys keys;
    CommandedSim sim(keys, {"--sensors", "1", "--buttons", "2", "--valuators", "0"});
    ASSERT_NE(sim.banner.find("driven by commands"), std::string::npos) << sim.process->err;
    const auto padded = [](std::string command, std::size_t size) {
        return command.append(size - command.size(), ' ');
    };
    // 200 000 nested arrays: the line limit refuses them unread, so the deepest nesting a command can reach
    // is about 2000 (parsed and destroyed without recursion, and never copied).
    const std::string deepest = std::string(2035, '[') + std::string(2035, ']');
    sim.send(R"({"\u001b[2J\u001b]0;pwned\u0007":1})"
             "\n" +
             padded(R"({"button":0,"value":2})", trackd_tools::LONGEST_COMMAND) + "\r\n" +
             padded(R"({"button":0,"value":3})", trackd_tools::LONGEST_COMMAND + 1) + "\r\n" +
             std::string(R"({"button":0,"value":4})") + '\0' + "\n" + std::string(200000, '[') +
             std::string(200000, ']') + "\n" + R"({"button":1,"value":)" + deepest + "}\n" + std::string(4096, '[') +
             "\n" + R"({"button":1,"value":9})" + "\r\n");
    Driven expected{
        {{trackd_tools::DEFAULT_HEAD[0], trackd_tools::DEFAULT_HEAD[1], trackd_tools::DEFAULT_HEAD[2], 0, 0, 0}},
        {2, 9},
        {}};
    EXPECT_EQ(eventually(keys, expected), expected);
    EXPECT_EQ(sim.end(), 0);
    EXPECT_EQ(sim.process->err,
              "trackd-sim: command line 1: unknown field \"\\x1b[2J\\x1b]0;pwned\\x07\"; ignored\n"
              "trackd-sim: command line 3 is longer than 4096 bytes; ignored\n"
              "trackd-sim: command line 4: holds a NUL byte; ignored\n"
              "trackd-sim: command line 5 is longer than 4096 bytes; ignored\n"
              "trackd-sim: command line 6: \"value\" of a button must be a 32-bit integer; ignored\n"
              "trackd-sim: command line 7: not a JSON object; ignored\n");
    EXPECT_TRUE(printableOnly(sim.process->err));

    // A program calling the driver itself meets the same bound.
    trackd_tools::Driver driver(trackd_tools::startPoses(1, trackd_tools::DEFAULT_HEAD, trackd_tools::DEFAULT_WAND), 1,
                                0, {});
    EXPECT_THROW(driver.command(std::string(200000, '[') + std::string(200000, ']')), std::invalid_argument);
    EXPECT_EQ(driver.state().buttons[0], 0);
}

TEST(toolsCommandLine, refusedArgumentsAndFileNamesAreEchoedWithoutControlCharacters) {
    const std::string attack = "\x1b[2J\x1b]0;pwned\x07";
    // Each command line, and whether its message quotes the attack (a name with a control character is
    // refused unquoted, and Java's numbers ignore the control characters around them).
    std::vector<std::pair<std::vector<std::string>, bool>> refused;
    for (const std::string& tool : {SIM, MONITOR}) {
        refused.emplace_back(invocation(tool, {attack}), true);
        refused.emplace_back(invocation(tool, {"--tracker-key", attack}), true);
        refused.emplace_back(invocation(tool, {"--" + attack}), true);
    }
    refused.emplace_back(invocation(MONITOR, {"--names", attack}), false);
#ifdef TRACKD_VIEWER
    refused.push_back({{TRACKD_VIEWER, attack}, true});
    refused.push_back({{TRACKD_VIEWER, "--tracker-key", attack}, true});
#endif
#ifdef DEMO_CLASSPATH
    refused.push_back({{JAVA, "-cp", DEMO_CLASSPATH, "calvora.devicedriver.demo.TrackdDemo", attack, "-x"}, true});
    refused.push_back(
        {{JAVA, "-cp", DEMO_CLASSPATH, "calvora.devicedriver.demo.TrackdDemo", "--seconds", attack}, false});
#endif
    for (const auto& [argv, quoted] : refused) {
        Process tool(argv, [] { unsetenv("DISPLAY"); });
        const std::string shown = trackd_tools::printable(argv[argv.size() - 2] + " " + argv.back());
        EXPECT_EQ(tool.wait(), 2) << shown << ": " << tool.err;
        if (quoted) {
            EXPECT_NE(tool.err.find("\\x1b[2J\\x1b]0;pwned\\x07"), std::string::npos) << shown << ": " << tool.err;
        }
        EXPECT_TRUE(printableOnly(tool.err)) << tool.err;
    }
    // A file name quoted in a run-time error.
    const Keys keys;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--play", ::testing::TempDir() + attack},
          {"--interactive", "--commands", "--record", "/nonexistent/" + attack}}) {
        Process sim(command(SIM, keys, args));
        EXPECT_EQ(sim.wait(), 1) << sim.err;
        EXPECT_NE(sim.err.find("\\x1b[2J"), std::string::npos) << sim.err;
        EXPECT_TRUE(printableOnly(sim.err)) << sim.err;
    }
    const RunningSim sim(keys, {"--static"});
    Process monitor(command(MONITOR, keys, {"--record", "/nonexistent/" + attack}));
    EXPECT_EQ(monitor.wait(), 1) << monitor.err;
    EXPECT_NE(monitor.err.find("\\x1b[2J"), std::string::npos) << monitor.err;
    EXPECT_TRUE(printableOnly(monitor.err)) << monitor.err;
}

TEST(monitorHealth, measuresRatesFarAboveAThousandHertz) {
    const Keys keys;
    RunningSim sim(keys, {"--rate", "10000", "--sensors", "1"});
    const json health = monitorOnce(keys, {}, "1.5")["health"]["tracker"];
    EXPECT_TRUE(health["rateIsLowerBound"].get<bool>() || health["updatesPerSecond"].get<double>() > 2000) << health;
}

TEST(monitorHealth, aStillSourceIsPolledSlowlyAndSaysSo) {
    const Keys keys;
    RunningSim sim(keys, {"--static"});
    Process monitor(command(MONITOR, keys, {"--json", "--rate", "10"}));
    // A while after the last change the monitor polls slowly, and each line from then on says so.
    std::string watching;
    for (std::size_t i = 0; watching != "still: polling at 1000 Hz" && i < 300; ++i) {
        const std::string line = monitor.line(i, std::chrono::seconds(60));
        if (line.empty()) break;
        watching = json::parse(line)["health"]["watching"].get<std::string>();
    }
    EXPECT_EQ(watching, "still: polling at 1000 Hz") << monitor.err;
    monitor.signal(SIGTERM);
    EXPECT_EQ(monitor.wait(), 0) << monitor.err;
}

TEST(javaDemo, printsTheSimulatorsTranslations) {
#ifndef DEMO_CLASSPATH
    GTEST_SKIP() << "built without the Java tests";
#else
    const Keys keys;
    RunningSim sim(keys, {"--static", "--sensors", "2", "--buttons", "2", "--valuators", "1"});
    Process demo({JAVA, "-Xcheck:jni", std::string("-Djava.library.path=") + LIBRARY_DIR, "-cp", DEMO_CLASSPATH,
                  "calvora.devicedriver.demo.TrackdDemo", "--tracker-key", std::to_string(keys.tracker),
                  "--controller-key", std::to_string(keys.controller), "--seconds", "0.5"});
    ASSERT_EQ(demo.wait(), 0) << demo.err;
    EXPECT_NE(demo.out.find("attached, controller key " + std::to_string(keys.controller) + " attached"),
              std::string::npos)
        << demo.out;
    const std::string expectedLine =
        "sensor 0 ( 0.500,  1.250, -2.000)  sensor 1 ( 1.500,  2.250, -3.000)  buttons 1 2  valuators -0.500";
    EXPECT_NE(demo.out.find(expectedLine), std::string::npos) << demo.out;
    EXPECT_EQ(demo.err, "");
#endif
}

}  // namespace
