// trackd-mirror list: listens on a DDS domain for a moment and shows every publisher and subscriber
// that discovery finds there, as each announces itself.
#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "announcement.h"
#include "common.h"
#include "roles.h"

namespace trackd_mirror {

namespace {

using namespace trackd_tools;

struct ListSettings {
    int domain = 0;
    NetworkChoice network;
    double seconds = 1;
};

std::string bytesText(std::uint32_t bytes) { return bytes == 0 ? "-" : std::to_string(bytes) + " B"; }

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
    return text.empty() ? "-" : text;
}

// The table, one row per process, ordered by installation, then publishers first, then address.
void show(std::vector<Announcement> mirrors) {
    std::sort(mirrors.begin(), mirrors.end(), [](const Announcement& a, const Announcement& b) {
        return std::tie(a.name, a.role, a.addresses, a.host, a.pid) <
               std::tie(b.name, b.role, b.addresses, b.host, b.pid);
    });
    std::vector<std::vector<std::string>> rows{
        {"INSTALLATION", "ROLE", "HOST", "ADDRESSES", "PID", "SIGNING", "TRACKER", "CONTROLLER", "FRAMES/S"}};
    for (const auto& m : mirrors)
        rows.push_back({m.name, m.role, m.host, joined(m.addresses), std::to_string(m.pid),
                        m.keyId != 0 ? "key " + keyIdText(m.keyId) : "unsigned", bytesText(m.trackerBytes),
                        bytesText(m.controllerBytes), std::to_string(m.rate)});
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) line += std::string(widths[column] - row[column].size() + 2, ' ');
        }
        std::cout << line << '\n';
    }
    std::cout << std::flush;
}

int list(const ListSettings& settings) {
    checkInterface(settings.network);
    const Participant participant(static_cast<dds_domainid_t>(settings.domain), settings.network,
                                  Announcement::ofThisProcess(ROLE_LIST, "-", settings.network, 0).encode());
    ParticipantWatch watch(participant);
    const auto until = Clock::now() + clockDuration(settings.seconds);
    while (Clock::now() < until && stopSignal == 0)
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
    const Visible visible = visibleOnDomain(watch);
    const std::string domain = "domain " + std::to_string(settings.domain);
    const std::string others = visible.others == 0   ? ""
                               : visible.others == 1 ? "1 other DDS participant"
                                                     : std::to_string(visible.others) + " other DDS participants";
    int status = 0;
    if (visible.mirrors.empty()) {
        say("no publisher or subscriber visible on " + domain + (others.empty() ? "" : " (only " + others + ")") +
            ": are they running, on this --domain and network (--interface, --peer), and do the firewalls pass "
            "UDP ports " +
            portRange(settings.domain) + "?");
        status = EXIT_FAILURE_AT_RUN_TIME;
    } else {
        show(visible.mirrors);
        if (!others.empty()) say("and " + others + " on " + domain + ", not trackd-mirror");
    }
    limitShutdown();
    return status;
}

}  // namespace

Role addList(CLI::App& app) {
    auto settings = std::make_shared<ListSettings>();
    auto* command = app.add_subcommand(
        "list", "show every publisher and subscriber visible on the domain, from any host; exit 1 if none");
    addNetworkOptions(*command, settings->domain, settings->network);
    command->add_option("--seconds", settings->seconds, "how long to listen before showing what is there (default 1)")
        ->check(clockSeconds())
        ->type_name("SECONDS")
        ->group("Output");
    return {command, [settings] { return list(*settings); }};
}

}  // namespace trackd_mirror
