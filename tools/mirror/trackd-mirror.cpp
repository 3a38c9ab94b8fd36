// trackd-mirror: publishes the tracking host's tracker and controller segments over Cyclone DDS, and on
// each render node recreates them under the same keys, byte for byte, for unmodified local readers.
// Each subcommand lives in a file of its own: publish.cpp, subscribe.cpp, list.cpp, keygen.cpp.
#include <sodium.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common.h"
#include "options.h"
#include "roles.h"

using namespace trackd_mirror;
using namespace trackd_tools;

namespace {

// Help as a person reads it and as help2man makes the manual page of it: each option with the name of
// its argument and no parser notation, defaults and ranges in the words; the top-level --help shows the
// options of every subcommand, under a heading for each.
class MirrorHelp : public CLI::Formatter {
public:
    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        if (positional) return option->get_name(true, false);
        std::string names = option->get_name(false, true);
        for (std::size_t comma = names.find(','); comma != std::string::npos; comma = names.find(',', comma + 2))
            names.replace(comma, 1, ", ");
        return names;
    }

    std::string make_option_opts(const CLI::Option* option) const override {
        if (option->get_positional() || option->get_type_size() == 0) return {};
        const std::string type = option->get_type_name();  // the name, then each validator's words after ':'
        return " " + type.substr(0, type.find(':'));
    }

    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        if (app->get_parent() != nullptr) {
            std::string text = CLI::Formatter::make_help(app, std::move(name), mode);
            for (auto gap = text.find("\n\n\n"); gap != std::string::npos; gap = text.find("\n\n\n", gap))
                text.erase(gap, 1);  // one empty line between groups
            return text;
        }
        const auto commands = app->get_subcommands([](const CLI::App*) { return true; });
        std::ostringstream out;
        std::string lead = "Usage: ";
        for (const auto* command : commands) {
            out << lead << app->get_name() << ' ' << command->get_name() << " [OPTIONS]";
            for (const auto* positional :
                 command->get_options([](const CLI::Option* o) { return o->get_positional(); }))
                out << ' ' << positional->get_name();
            out << '\n';
            lead = "  or:  ";
        }
        out << make_description(app) << "\nSubcommands:\n";
        for (const auto* command : commands) out << make_subcommand(command);
        out << "\nOptions:\n";
        for (const auto* option : app->get_options()) out << make_option(option, false);
        out << "\nEach subcommand's --help shows its own options alone.\n";
        // The options publish and subscribe share come once, then each subcommand's own.
        const auto named = [&](const char* wanted) -> const CLI::App* {
            for (const auto* command : commands)
                if (command->get_name() == wanted) return command;
            return nullptr;
        };
        const auto* publish = named("publish");
        const auto* subscribe = named("subscribe");
        const auto shared = [&](const CLI::Option* option) {
            return publish != nullptr && subscribe != nullptr && option->get_name() != "--help" &&
                   publish->get_option_no_throw(option->get_name()) != nullptr &&
                   subscribe->get_option_no_throw(option->get_name()) != nullptr;
        };
        if (publish != nullptr && subscribe != nullptr) {
            out << "\npublish and subscribe:\n";
            for (const auto* option : publish->get_options()) {
                if (shared(option)) out << make_option(option, false);
            }
        }
        for (const auto* command : commands) {
            out << '\n' << command->get_name() << ":\n";
            for (const auto* option : command->get_options()) {
                const bool own = option->get_name() != "--help" &&
                                 (command == publish || command == subscribe ? !shared(option) : true);
                if (own) out << make_option(option, option->get_positional());
            }
        }
        return out.str();
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Carries trackd's tracker and controller segments from the tracking host to render nodes over "
        "Cyclone DDS.\nRun `publish` where trackd runs and `subscribe` on each render node; local "
        "applications there read the mirrored segments through ZoravoVAR as if trackd ran there. `list` "
        "shows what runs on the domain, from any host.",
        "trackd-mirror"};
    app.formatter(std::make_shared<MirrorHelp>());
    app.set_help_flag("-h,--help", "print this help and exit");
    addVersion(app, "trackd-mirror");
    app.require_subcommand(1);
    const std::vector<Role> roles{addPublish(app), addSubscribe(app), addList(app), addKeygen(app)};
    app.set_help_flag("-h,--help", "print this help, with every subcommand's options, and exit");

    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    catchStopSignals();
    try {
        if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
        for (const auto& role : roles)
            if (role.command->parsed()) return role.run();
        return EXIT_BAD_USAGE;
    } catch (const std::exception& e) {
        say(e.what());
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
