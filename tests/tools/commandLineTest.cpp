// The tools' command lines: --version, --help and bad usage with their statuses alike across the tools
// (the viewer's launcher too), one layout of help and of errors, and refused arguments echoed without
// control characters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "toolsHarness.h"

namespace {

// Every program with a command line, as started, and the name its messages start with.
std::vector<std::pair<std::vector<std::string>, std::string>> everyCommand() {
    std::vector<std::pair<std::vector<std::string>, std::string>> commands{{{SIM}, "trackd-sim"},
                                                                           {{MONITOR}, "trackd-monitor"}};
#ifdef TRACKD_MIRROR
    commands.push_back({{TRACKD_MIRROR}, "trackd-mirror"});
    for (const char* role : {"publish", "subscribe", "list", "keygen"})
        commands.push_back({{TRACKD_MIRROR, role}, "trackd-mirror"});
#endif
#ifdef TRACKD_CALIBRATE
    commands.push_back({{TRACKD_CALIBRATE}, "trackd-calibrate"});
    for (const char* role : {"screen", "room"}) commands.push_back({{TRACKD_CALIBRATE, role}, "trackd-calibrate"});
#endif
#ifdef TRACKD_VIEWER
    commands.push_back({{TRACKD_VIEWER}, "trackd-viewer"});
#endif
#ifdef DEMO_CLASSPATH
    commands.push_back({{JAVA, "-cp", DEMO_CLASSPATH, "calvora.devicedriver.demo.TrackdDemo"}, "TrackdDemo"});
#endif
    return commands;
}

std::vector<std::string> with(std::vector<std::string> command, const std::vector<std::string>& args) {
    command.insert(command.end(), args.begin(), args.end());
    return toolCommand(command[0], {command.begin() + 1, command.end()});
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Each help in the same layout: within 100 columns, the usage first, the exit statuses and then the
// examples at the end, every example a command line of the program.
TEST(toolsCommandLine, everyHelpFitsHundredColumnsAndEndsWithExitStatusThenExamples) {
    for (const auto& [command, name] : everyCommand()) {
        Process help(with(command, {"--help"}), [] { unsetenv("DISPLAY"); });
        const std::string shown = name + (command.size() == 2 && command[0] == name ? "" : " " + command.back());
        ASSERT_EQ(help.wait(), 0) << shown << ": " << help.err;
        const std::vector<std::string> lines = linesOf(help.out);
        ASSERT_FALSE(lines.empty()) << shown;
        EXPECT_TRUE(lines[0].starts_with("Usage: " + name)) << shown << ": " << lines[0];
        for (const std::string& line : lines) EXPECT_LE(line.size(), 100U) << shown << ": " << line;
        const auto heading = [&](const std::string& title) {
            return std::find(lines.begin(), lines.end(), title) - lines.begin();
        };
        const auto examples = heading("Examples:");
        const auto statuses = heading("Exit status:");
        ASSERT_LT(examples, static_cast<long>(lines.size())) << shown << ":\n" << help.out;
        ASSERT_LT(statuses, examples) << shown << ":\n" << help.out;
        EXPECT_EQ(lines[examples - 1], "") << shown;
        for (auto i = statuses + 1; i + 1 < examples; ++i) EXPECT_TRUE(lines[i].starts_with("  ")) << lines[i];
        for (auto i = examples + 1; i < static_cast<long>(lines.size()); ++i) {
            EXPECT_TRUE(lines[i].starts_with("  ")) << shown << ": " << lines[i];
            if (lines[i].starts_with("    ")) {
                EXPECT_NE(lines[i].find(name), std::string::npos) << shown << ": " << lines[i];
            }
        }
        EXPECT_EQ(help.out.find("Excludes:"), std::string::npos) << shown;
        EXPECT_EQ(help.out.find("Needs:"), std::string::npos) << shown;
        EXPECT_EQ(help.out.find(" in ["), std::string::npos) << shown;
    }
#ifdef TRACKD_MIRROR
    Process all({TRACKD_MIRROR, "--help-all"});
    EXPECT_EQ(all.wait(), 0);
    for (const std::string& line : linesOf(all.out)) EXPECT_LE(line.size(), 100U) << line;
    for (const char* option : {"--poll-rate", "--group", "--seconds", "--replace"})
        EXPECT_NE(all.out.find(option), std::string::npos) << option;
#endif
}

// Bad usage of every kind in one line starting with the program's name, and status 2.
TEST(toolsCommandLine, everyBadUsageLineStartsWithTheToolsName) {
    for (const auto& [command, name] : everyCommand()) {
        const bool keygen = command.back() == "keygen";
        const bool mirror = command.size() == 1 && name == "trackd-mirror";
        std::vector<std::vector<std::string>> bad{{"--bogus"}};
        if (!mirror && !keygen) bad.push_back({"--tracker-key", "nokey"});
        if (!mirror && !keygen) bad.push_back({"--tracker-key"});
        if (mirror) bad.push_back({});
        if (mirror) bad.push_back({"bogus"});
        for (const auto& args : bad) {
            Process tool(with(command, args), [] { unsetenv("DISPLAY"); });
            EXPECT_EQ(tool.wait(), 2) << name << ' ' << command.back() << ": " << tool.err;
            EXPECT_EQ(tool.out, "");
            const std::vector<std::string> lines = linesOf(tool.err);
            EXPECT_EQ(lines.size(), 1U) << tool.err;
            for (const std::string& line : lines) EXPECT_TRUE(line.starts_with(name + ": ")) << line;
        }
    }
    Process unknown(invocation(SIM, {"--bogus"}));
    EXPECT_EQ(unknown.wait(), 2);
    EXPECT_EQ(unknown.err, "trackd-sim: unknown option --bogus\n");
#ifdef TRACKD_MIRROR
    Process bogus({TRACKD_MIRROR, "bogus"});
    EXPECT_EQ(bogus.wait(), 2);
    EXPECT_EQ(bogus.err, "trackd-mirror: unknown subcommand 'bogus' (publish, subscribe, list or keygen)\n");
    Process none({TRACKD_MIRROR});
    EXPECT_EQ(none.wait(), 2);
    EXPECT_EQ(none.err, "trackd-mirror: a subcommand is required: publish, subscribe, list or keygen\n");
#endif
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

#ifdef MANUAL_DIR
// Each tool's manual page: clean under man --warnings, and naming every option of the tool's help.
TEST(toolsManualPages, cleanUnderManAndNameEveryOptionOfTheHelp) {
    const std::string man = "/usr/bin/man";
    if (access(man.c_str(), X_OK) != 0) GTEST_SKIP() << "man is not installed";
    std::vector<std::pair<std::string, std::vector<std::string>>> pages{{"trackd-sim", {SIM}},
                                                                        {"trackd-monitor", {MONITOR}}};
#ifdef TRACKD_VIEWER
    pages.push_back({"trackd-viewer", {TRACKD_VIEWER}});
#endif
#ifdef TRACKD_MIRROR
    pages.push_back({"trackd-mirror", {TRACKD_MIRROR, "--help-all"}});
#endif
    const auto plainManual = [] {
        setenv("MANWIDTH", "80", 1);
        setenv("LC_ALL", "C", 1);
        unsetenv("DISPLAY");
    };
    for (const auto& [name, command] : pages) {
        const std::string page = std::string(MANUAL_DIR) + "/" + name + ".1.gz";
        Process shown({man, "--warnings", "-l", page}, plainManual);
        EXPECT_EQ(shown.wait(), 0) << page;
        EXPECT_EQ(shown.err, "") << page;
        for (const char* section :
             {"DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"})
            EXPECT_NE(shown.out.find(std::string("\n") + section + "\n"), std::string::npos) << name << ": " << section;
        Process help(
            with(command, command.size() == 1 ? std::vector<std::string>{"--help"} : std::vector<std::string>{}),
            plainManual);
        EXPECT_EQ(help.wait(), 0);
        for (const std::string& line : linesOf(help.out)) {
            if (!line.starts_with("  -")) continue;
            const std::string option =
                line.substr(line.find("--"), line.find_first_of(" ,", line.find("--")) - line.find("--"));
            EXPECT_NE(shown.out.find(option), std::string::npos) << name << "(1) does not name " << option;
        }
    }
}
#endif

#ifdef TRACKD_VIEWER
// The build tree's viewer as a user starts it, through the launcher, here without a display (as over ssh).
TEST(viewerCommandLine, namesItselfAndSaysWhatIsWrongInOneLine) {
    const auto withoutDisplay = [] { unsetenv("DISPLAY"); };
    Process unknown({TRACKD_VIEWER, "-x"}, withoutDisplay);
    EXPECT_EQ(unknown.wait(), 2);
    EXPECT_EQ(unknown.err, "trackd-viewer: unknown option -x\n");
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
