// What the tools share on their command lines: how a key is read (segmentKeys.h shows it), named
// validators for rates and durations, --version, and the exit statuses 0, 1 and 2.
#pragma once

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "segmentKeys.h"
#include "snapshot.h"

namespace trackd_tools {

constexpr int EXIT_FAILURE_AT_RUN_TIME = 1;
constexpr int EXIT_BAD_USAGE = 2;

// Adds a key option that takes decimal, 0x-hex or 0-octal text naming any 32-bit key but IPC_PRIVATE (0).
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
            what + " (default " + keyText(key) + ")")
        ->type_name("KEY");
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
    app.set_version_flag("--version", tool + " " ZORAVOVAR_VERSION_TEXT, "print the version and exit");
}

// Parses the command line: -1 to go on, or the status to exit with (0 after --help or --version,
// EXIT_BAD_USAGE after a message on bad usage).
inline int parseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : EXIT_BAD_USAGE;
    }
}

}  // namespace trackd_tools
