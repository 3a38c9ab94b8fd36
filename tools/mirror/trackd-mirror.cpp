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
#include "help.h"
#include "options.h"
#include "roles.h"

using namespace trackd_mirror;
using namespace trackd_tools;

namespace {

constexpr const char* KEY_FILE = "/etc/trackd-mirror/key";

HelpEnd mirrorHelpEnd(const std::string& role) {
    const std::string key = std::string(" --auth-key ") + KEY_FILE;
    HelpEnd end;
    end.exitStatuses = {
        {"0", role == "list"     ? "a publisher or subscriber was found"
              : role == "keygen" ? "the key was written"
                                 : "stopped by a signal"},
        {"1", role == "list"     ? "nothing was found, or a failure at run time"
              : role == "keygen" ? "the file is there (without --replace), or cannot be written"
                                 : "a failure at run time: no such interface, an unusable key file, another "
                                   "publisher feeding the installation"},
        {"2", role == "keygen" || role == "list"
                  ? "bad usage: an unknown option, a value out of range"
                  : "bad usage: an unknown option or subcommand, a value out of range, equal keys, a peer that "
                    "does not resolve"}};
    const std::pair<std::string, std::string> publish{"On the tracking host, beside trackd:",
                                                      "trackd-mirror publish --interface eth1 --name cave" + key};
    const std::pair<std::string, std::string> subscribe{"On each render node, for the members of the group trackd:",
                                                        "trackd-mirror subscribe --name cave --group trackd" + key};
    const std::pair<std::string, std::string> list{"What runs on the domain, seen from any host:",
                                                   "trackd-mirror list --interface eth1" + key};
    const std::pair<std::string, std::string> keygen{"The installation's key, to copy to every host:",
                                                     std::string("trackd-mirror keygen ") + KEY_FILE};
    if (role == "publish")
        end.examples = {publish,
                        {"Where multicast is blocked, naming the render nodes:",
                         "trackd-mirror publish --name cave --peer node1 --peer node2"}};
    else if (role == "subscribe")
        end.examples = {subscribe,
                        {"Where multicast is blocked, naming the tracking host:",
                         "trackd-mirror subscribe --name cave --peer tracker"}};
    else if (role == "list")
        end.examples = {list};
    else if (role == "keygen")
        end.examples = {keygen};
    else
        end.examples = {keygen, publish, subscribe, list};
    return end;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Carries trackd's tracker and controller segments from the tracking host to render nodes over "
        "Cyclone DDS.\nRun `publish` where trackd runs and `subscribe` on each render node; local "
        "applications there read the mirrored segments through ZoravoVAR as if trackd ran there. `list` "
        "shows what runs on the domain, from any host.",
        "trackd-mirror"};
    useToolHelp(app, "trackd-mirror", mirrorHelpEnd(""));
    addVersion(app, "trackd-mirror");
    app.require_subcommand(1);
    const std::vector<Role> roles{addPublish(app), addSubscribe(app), addList(app), addKeygen(app)};
    useSubcommandHelp(app, mirrorHelpEnd);

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
