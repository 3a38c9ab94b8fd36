// trackd-sim, trackd-monitor and the Java demo tested against each other through real segments.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "process.h"
#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;
using nlohmann::json;
using testing_processes::Process;

namespace {

const std::string SIM = TRACKD_SIM;
const std::string MONITOR = TRACKD_MONITOR;

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
    if (const std::string emulator = TOOLS_EMULATOR; !emulator.empty()) argv.push_back(emulator);
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
    EXPECT_EQ(health["size"], 1308);
    EXPECT_EQ(health["removed"], false);
    EXPECT_GE(health["attached"].get<int>(), 2);
}

TEST(simAndMonitor, recordingReplaysToTheSameValues) {
    const std::string file = ::testing::TempDir() + "trackd-recording.jsonl";
    const Keys live;
    {
        RunningSim sim(live, {"--rate", "100"});
        Process monitor(command(MONITOR, live, {"--record", file, "--rate", "20", "--duration", "1"}));
        ASSERT_EQ(monitor.wait(), 0) << monitor.err;
    }
    std::vector<json> recorded;
    std::ifstream in(file);
    for (std::string text; std::getline(in, text);) recorded.push_back(json::parse(text));
    ASSERT_GE(recorded.size(), 10U);
    ASSERT_NE(recorded.front()["sensors"], recorded.back()["sensors"]);

    const Keys replay;
    RunningSim sim(replay, {"--play", file});
    // The replay takes as long as the recording, then holds its last frame.
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
    const json frozen = monitorOnce(still, {}, "2.2");
    EXPECT_EQ(frozen["health"]["tracker"]["state"].get<std::string>().rfind("FROZEN: no change for 2.", 0), 0U)
        << frozen["health"];
}

TEST(simLifecycle, removesBothSegmentsOnSigtermAndSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        const Keys keys;
        RunningSim sim(keys, {});
        EXPECT_TRUE(segmentExists(keys.tracker));
        EXPECT_TRUE(segmentExists(keys.controller));
        EXPECT_EQ(sim.stop(signal), 0);
        EXPECT_FALSE(segmentExists(keys.tracker));
        EXPECT_FALSE(segmentExists(keys.controller));
    }
}

TEST(simLifecycle, refusesAnOccupiedKeyUnlessToldToReplace) {
    Segment occupied(64);
    Keys keys;
    keys.controller = occupied.key();
    Process refused(command(SIM, keys, {}));
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_EQ(refused.err, "trackd-sim: a segment already exists for the controller key " +
                               std::to_string(occupied.key()) + "; stop what made it, or pass --replace\n");
    EXPECT_FALSE(segmentExists(keys.tracker)) << "the tracker segment made before the refusal was left behind";

    RunningSim replacing(keys, {"--replace", "--static"});
    EXPECT_EQ(monitorOnce(keys)["health"]["controller"]["size"], 296);
}

TEST(simLifecycle, refusesBadOptionsAndRecordings) {
    const Keys keys;
    const auto refusal = [&](std::vector<std::string> argv) {
        Process sim(argv);
        const int code = sim.wait();
        EXPECT_NE(code, 0) << argv[1];
        return sim.err;
    };
    EXPECT_NE(refusal(invocation(SIM, {"--tracker-key", "tracker"})).find("'tracker' is not a 32-bit System V key"),
              std::string::npos);
    EXPECT_NE(refusal(invocation(SIM, {"--tracker-key", "0"})).find("IPC_PRIVATE"), std::string::npos);
    EXPECT_NE(refusal(command(SIM, keys, {"--sensors", "0"})).find("--sensors"), std::string::npos);
    EXPECT_NE(refusal(command(SIM, keys, {"--rate", "-5"})).find("--rate"), std::string::npos);

    const std::string file = ::testing::TempDir() + "trackd-bad-recording.jsonl";
    std::ofstream(file) << R"({"time":0,"sensors":[],"buttons":[1],"valuators":[]})" << '\n'
                        << R"({"time":0.1,"sensors":[],"buttons":"pressed","valuators":[]})" << '\n';
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", file})),
              "trackd-sim: " + file + ":2: \"buttons\" is not an array\n");
    EXPECT_NE(refusal(command(SIM, keys, {"--play", file + ".missing"})).find("cannot read the recording"),
              std::string::npos);
    EXPECT_FALSE(segmentExists(keys.tracker));
}

TEST(monitorHints, tellTheLikelyCausesApart) {
    const Keys missing;
    Process absent(command(MONITOR, missing, {"--once"}));
    EXPECT_EQ(absent.wait(), 1);
    EXPECT_EQ(absent.err.rfind("ERROR: can't get tracker shared memory\nshmget: No such file or directory\n", 0), 0U);
    EXPECT_NE(absent.err.find("hint: no segment exists for tracker key " + std::to_string(missing.tracker)),
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
    Process denied(command(MONITOR, locked, {"--once"}), [] {
        if (!dropPrivileges()) _exit(99);
    });
    EXPECT_EQ(denied.wait(), 1);
    EXPECT_NE(denied.err.find("ERROR: can't attach tracker shared memory\nshmat: Permission denied\n"),
              std::string::npos)
        << denied.err;
    EXPECT_NE(denied.err.find("hint: no permission to attach the tracker segment"), std::string::npos) << denied.err;
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
