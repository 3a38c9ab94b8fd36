// trackd-sim and trackd-monitor against each other through real segments: the pose bit for bit, recordings and
// their replay, health flags and sensor names; and the simulator's lifecycle: signals, modes, occupied keys, bad
// options.
#include <gtest/gtest.h>

#include "toolsHarness.h"

namespace {

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
    EXPECT_EQ(recorded.front()["format"], "trackd-recording");
    EXPECT_EQ(recorded.front()["version"], 1);
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

TEST(simAndMonitor, replayFromToPlaysAPartAndSkipsMarkers) {
    // Frames at 0, 1, ... 10 s, sensor 0's x the time; a marker at 5 s.
    const std::string file = ::testing::TempDir() + "trackd-part.jsonl";
    {
        std::ofstream out(file);
        out << R"({"format":"trackd-recording","version":2})" << '\n';
        for (int t = 0; t <= 10; ++t) {
            out << R"({"time":)" << t << R"(,"sensors":[{"position":[)" << t
                << R"(,0,0],"angles":[0,0,0]}],"buttons":[],"valuators":[]})" << '\n';
            if (t == 5) out << R"({"time":5,"marker":"trial 2"})" << '\n';
        }
    }
    const auto x = [](const Keys& keys) { return monitorOnce(keys)["sensors"][0]["position"][0].get<double>(); };
    {  // It starts with the frame in place at --from, and so slowly that nothing follows it yet.
        const Keys keys;
        RunningSim sim(keys, {"--play", file, "--from", "3.5", "--to", "6", "--speed", "0.001"});
        EXPECT_EQ(x(keys), 3);
    }
    const Keys keys;
    Process sim(command(SIM, keys, {"--play", file, "--from", "3.5", "--to", "6", "--speed", "1000", "--hold"}));
    EXPECT_EQ(sim.line(1), "trackd-sim: skipped 1 marker lines, which the segments have no place for");
    EXPECT_EQ(x(keys), 6);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0) << sim.err;
    Process backwards(command(SIM, keys, {"--play", file, "--from", "3", "--to", "2"}));
    EXPECT_EQ(backwards.wait(), 2);
    EXPECT_EQ(backwards.err, "trackd-sim: --to must not come before --from\n");
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
    EXPECT_EQ(json::parse(header)["sensorNames"], json({"head", "wand"}));
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
    std::ofstream(file) << R"({"format":"trackd-recording","version":3})" << '\n' << good << '\n';
    EXPECT_EQ(refusal(command(SIM, keys, {"--play", file}), 1),
              "trackd-sim: " + file + ":1: format version 3 is not one this trackd-sim reads (2 at most)\n");
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

}  // namespace
