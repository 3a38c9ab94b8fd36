// The System V keys the tools use by default, and how they read a key from the command line.
#pragma once

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace trackd_tools {

constexpr int DEFAULT_TRACKER_KEY = 7401;
constexpr int DEFAULT_CONTROLLER_KEY = 7402;

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
            what + " (default " + std::to_string(key) + ")")
        ->type_name("KEY");
}

}  // namespace trackd_tools
