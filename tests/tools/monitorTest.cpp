// trackd-monitor against real segments: its hints for a failed attach, its output and its errors, and the
// segments' health it measures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "toolsHarness.h"

namespace {

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

TEST(monitorOutput, theLiveViewQuitsOnQ) {
    const Keys keys;
    RunningSim sim(keys, {"--static"});
    OnTerminal monitor(command(MONITOR, keys, {"--duration", "20"}));
    EXPECT_TRUE(monitor.shows("q quits")) << monitor.screen;
    monitor.type("q");
    EXPECT_EQ(monitor.wait(), 0) << monitor.screen;
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

// The driven simulator counts its writes while nobody drives: the monitor calls that unchanged, not
// frozen; a still simulator, which writes nothing, is frozen, and on a render node the hint names the subscriber.
TEST(monitorHealth, theDrivenSimulatorIsUnchangedWhileNobodyDrivesNotFrozen) {
    const Keys keys;
    const CommandedSim sim(keys, {});
    const json driven = monitorOnce(keys, {}, "3.5")["health"];
    EXPECT_EQ(driven["tracker"]["state"], "unchanged: nobody is driving") << driven;
    EXPECT_EQ(driven["controller"]["state"], "unchanged: nobody is driving") << driven;

    // A frozen segment on a render node: the subscriber's status file for the key says what it does.
    const Keys stillKeys;
    RunningSim still(stillKeys, {"--static"});
    const std::string folder = ::testing::TempDir() + "trackd-status-" + std::to_string(stillKeys.tracker);
    ::mkdir(folder.c_str(), 0755);
    const std::string file = folder + "/subscribe-" + std::to_string(stillKeys.tracker) + "-" +
                             std::to_string(stillKeys.controller) + ".json";
    std::ofstream(file) << json{{"name", "cave"},
                                {"trackerKey", stillKeys.tracker},
                                {"controllerKey", stillKeys.controller},
                                {"pid", ::getpid()},
                                {"state", "refusing frames"},
                                {"lastRefusal", "signed with a different key"},
                                {"lastRefusalTime", "2026-12-09T23:40:01Z"},
                                {"unit", "trackd-mirror-subscribe.service"}};
    ::setenv("TRACKD_MIRROR_STATUS_DIR", folder.c_str(), 1);
    const json health = monitorOnce(stillKeys, {}, "3.5")["health"]["tracker"];
    ::unsetenv("TRACKD_MIRROR_STATUS_DIR");
    std::remove(file.c_str());
    ::rmdir(folder.c_str());
    EXPECT_EQ(health["state"].get<std::string>().rfind("FROZEN: no change for", 0), 0U) << health;
    EXPECT_EQ(health.value("hint", ""),
              "this host's trackd-mirror subscribe for installation \"cave\" (pid " + std::to_string(::getpid()) +
                  ") is refusing frames; last refusal at 2026-12-09T23:40:01Z: signed with a different key; see "
                  "journalctl -u trackd-mirror-subscribe.service")
        << health;
}

}  // namespace
