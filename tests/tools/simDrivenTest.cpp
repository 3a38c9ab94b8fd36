// trackd-sim driven by hand: keys on a terminal of its own and JSON commands through a pipe, each change
// exact, recorded and replayed; and hostile command lines.
#include <gtest/gtest.h>

#include "toolsHarness.h"

namespace {

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

}  // namespace

namespace {

TEST(simReplayKeys, pauseStepSeekAndSpeedThroughATerminal) {
    // Frames at 0, 1, ... 30 s, sensor 0's x the time.
    const std::string file = ::testing::TempDir() + "trackd-replay-keys.jsonl";
    {
        std::ofstream out(file);
        for (int t = 0; t <= 30; ++t)
            out << R"({"time":)" << t << R"(,"sensors":[{"position":[)" << t
                << R"(,0,0],"angles":[0,0,0]}],"buttons":[],"valuators":[]})" << '\n';
    }
    const Keys keys;
    // So slow that it never moves by itself while the test runs.
    OnTerminal sim(command(SIM, keys, {"--play", file, "--interactive", "--speed", "0.001"}));
    ASSERT_TRUE(sim.shows("trackd-sim: 0.000 s, frame 1 of 31, playing at 0.001x")) << sim.screen;
    const auto press = [&](const std::string& key, const std::string& then) {
        sim.screen.clear();
        sim.type(key);
        EXPECT_TRUE(sim.shows(then)) << "after " << key.size() << " bytes: " << sim.screen;
    };
    const auto x = [&] { return readDriven(keys).sensors[0][0]; };
    press(" ", "0.000 s, frame 1 of 31, paused at 0.001x");
    press("\x1b[C", "1.000 s, frame 2 of 31, paused");
    EXPECT_EQ(x(), 1);
    press("\x1b[6~", "11.000 s, frame 12 of 31, paused");
    EXPECT_EQ(x(), 11);
    press("\x1b[5~", "1.000 s, frame 2 of 31, paused");
    press("\x1b[D", "0.000 s, frame 1 of 31, paused");
    EXPECT_EQ(x(), 0);
    press("+", "paused at 0.002x");
    press("-", "paused at 0.001x");
    // Twenty doublings reach the fastest speed; played, it runs to the last frame and pauses there.
    press(std::string(20, '+'), "paused at 1000x");
    press(" ", "30.000 s, frame 31 of 31, paused at 1000x");
    EXPECT_EQ(x(), 30);
    sim.type("q");
    EXPECT_EQ(sim.wait(), 0) << sim.screen;
    EXPECT_FALSE(segmentExists(keys.tracker));
}

}  // namespace
