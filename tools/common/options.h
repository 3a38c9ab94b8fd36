// What the tools share on their command lines: how a key is read (segmentKeys.h shows it), named
// validators for rates and durations, --version, and the exit statuses 0, 1 and 2.
#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "help.h"
#include "printable.h"
#include "segmentKeys.h"
#include "snapshot.h"

namespace trackd_tools {

constexpr int EXIT_FAILURE_AT_RUN_TIME = 1;
constexpr int EXIT_BAD_USAGE = 2;

// Every catchable signal whose default would end a tool without a word: each stops it cleanly.
constexpr int STOP_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};

// What a segment writable by every user means: readers attach read-write, so any local user may write too.
constexpr const char* WORLD_WRITABLE_RISK = "writable by everyone: anyone on this host can forge poses";
constexpr unsigned WORLD_WRITE_BIT = 0002;

// Adds --mode, the permission bits of the segments a tool makes, 0 to 0777 in octal.
inline CLI::Option* addModeOption(CLI::App& app, int& mode, const std::string& what) {
    return app
        .add_option_function<std::string>(
            "--mode",
            [&mode](const std::string& text) {
                char* end = nullptr;
                const long value = std::strtol(text.c_str(), &end, 8);
                if (text.empty() || *end != '\0' || value < 0 || value > 0777)
                    throw CLI::ValidationError("--mode", "'" + text + "' is not an octal permission like 0660");
                mode = static_cast<int>(value);
            },
            what)
        ->type_name("OCTAL");
}

// The warning a tool gives before it makes segments of `mode`, or empty when only owner and group may write.
inline std::string modeWarning(int mode) {
    if ((static_cast<unsigned>(mode) & WORLD_WRITE_BIT) == 0) return {};
    return "warning: mode " + octalMode(static_cast<unsigned>(mode)) + " makes the segments " + WORLD_WRITABLE_RISK +
           " (use 0660 and put the readers in the segments' group)";
}

// A tracker key equal to the controller key is bad usage: the two segments would be one.
inline void checkDistinctKeys(int trackerKey, int controllerKey) {
    if (trackerKey == controllerKey)
        throw CLI::ValidationError("--controller-key", "the tracker and controller keys must differ");
}

// Checks the keys once `app` is parsed (its only parse-complete callback).
inline void requireDistinctKeys(CLI::App& app, const int& trackerKey, const int& controllerKey) {
    app.parse_complete_callback([&trackerKey, &controllerKey] { checkDistinctKeys(trackerKey, controllerKey); });
}

// Adds a key option (value name KEY, whose forms the help says once) that takes decimal, 0x-hex or 0-octal text naming
// any 32-bit key but IPC_PRIVATE (0).
inline CLI::Option* addKeyOption(CLI::App& app, const std::string& name, int& key, const std::string& what) {
    return app
        .add_option_function<std::string>(
            name,
            [&key, name](const std::string& text) {
                errno = 0;
                char* end = nullptr;
                const long long value = std::strtoll(text.c_str(), &end, 0);
                if (text.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > UINT32_MAX)
                    throw CLI::ValidationError(name, "'" + text + "' is not a 32-bit System V key");
                if (value == 0) throw CLI::ValidationError(name, "key 0 is IPC_PRIVATE, which no reader can look up");
                key = static_cast<int>(static_cast<std::uint32_t>(value));
            },
            what)
        ->type_name(KEY_VALUE)
        ->default_str(keyText(key));
}

// Adds --names, the sensors' names in order, separated by commas (sensorNamesProblem's rules).
inline CLI::Option* addSensorNamesOption(CLI::App& app, std::vector<std::string>& names, const std::string& what) {
    return app
        .add_option_function<std::string>(
            "--names",
            [&names](const std::string& text) {
                std::vector<std::string> split;
                for (std::size_t from = 0;;) {
                    const std::size_t comma = text.find(',', from);
                    split.push_back(text.substr(from, comma - from));
                    if (comma == std::string::npos) break;
                    from = comma + 1;
                }
                if (const std::string problem = sensorNamesProblem(split); !problem.empty())
                    throw CLI::ValidationError("--names", problem);
                names = std::move(split);
            },
            what)
        ->type_name("NAME,...");
}

inline std::string shortNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A finite number from `low` to `high`; NaN and infinities are refused, and bounds read as people write them.
inline CLI::Validator finiteRange(double low, double high) {
    return {[low, high](const std::string& text) -> std::string {
                char* end = nullptr;
                const double value = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !std::isfinite(value) || value < low || value > high)
                    return "'" + text + "' is not a number from " + shortNumber(low) + " to " + shortNumber(high);
                return {};
            },
            "from " + shortNumber(low) + " to " + shortNumber(high)};
}

// A positive, finite number of seconds that the clock can hold.
inline CLI::Validator clockSeconds() {
    return {[](const std::string& text) -> std::string {
                char* end = nullptr;
                const double value = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 || value > LONGEST_SECONDS)
                    return "'" + text + "' is not a number of seconds above 0 and up to a century";
                return {};
            },
            "SECONDS"};
}

inline std::chrono::steady_clock::duration clockDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

// Adds --version, which prints the tool's name and the version of the ZoravoVAR release it belongs to.
inline void addVersion(CLI::App& app, const std::string& tool) {
    app.set_version_flag("--version", tool + " " ZORAVOVAR_VERSION_TEXT, "print the version and exit")
        ->group(HELP_GROUP);
}

// `text` made printable line by line, its newlines kept.
inline std::string printableLines(std::string_view text) {
    std::string out;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t newline = std::min(text.find('\n', from), text.size());
        out += printable(text.substr(from, newline - from));
        if (newline < text.size()) out += '\n';
        from = newline + 1;
    }
    return out;
}

// The name a tool's messages start with: the name its help shows, or the program's file name.
inline std::string toolName(const CLI::App& app) {
    const std::string& name = app.get_name();
    return name.substr(name.rfind('/') + 1);
}

// What is wrong with a command line, in one sentence: an unknown option or subcommand by its name, else
// CLI11's own message.
inline std::string usageProblem(const CLI::App& app, const CLI::ParseError& error) {
    const std::vector<std::string> left = app.remaining(true);
    const bool missingCommand = app.get_require_subcommand_min() > 0 && app.get_subcommands().empty() &&
                                dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
    std::string commands;
    if (missingCommand) {
        const auto all = app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
        for (std::size_t i = 0; i < all.size(); ++i)
            commands += (i == 0 ? "" : i + 1 == all.size() ? " or " : ", ") + all[i]->get_name();
    }
    if ((missingCommand || dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) && !left.empty()) {
        const std::string& first = left.front();
        if (first.size() > 1 && first[0] == '-') return "unknown option " + first;
        if (missingCommand) return "unknown subcommand '" + first + "' (" + commands + ")";
        return "unexpected argument '" + first + "'";
    }
    if (missingCommand) return "a subcommand is required: " + commands;
    std::string text = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && text.find(" missing") != std::string::npos)
        return text.substr(0, text.find(':')) + " needs a value";
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) != 0 &&
        std::islower(static_cast<unsigned char>(text[1])) != 0)
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// Parses the command line: -1 to go on, or the status to exit with (0 after --help or --version,
// EXIT_BAD_USAGE after a message on bad usage, each of its lines starting with the tool's name). CLI11's
// messages quote the arguments they refuse: they are made printable.
inline int parseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            std::ostringstream out, err;
            app.exit(e, out, err);
            std::cout << out.str() << std::flush;
            return 0;
        }
        const std::string tool = toolName(app) + ": ";
        std::string message;
        std::istringstream lines(printableLines(usageProblem(app, e)));
        for (std::string line; std::getline(lines, line);) message += tool + line + '\n';
        std::cerr << message << std::flush;
        return EXIT_BAD_USAGE;
    }
}

}  // namespace trackd_tools
