// The tools' command lines: --version, --help and bad usage with their statuses alike across the tools
// (the viewer's launcher too), and refused arguments echoed without control characters.
#include <gtest/gtest.h>

#include "toolsHarness.h"

namespace {

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

}  // namespace
