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

constexpr std::size_t MAX_ROWS = 32;  // rows the table shows at most; the rest are counted

struct ListSettings {
    int domain = 0;
    NetworkChoice network;
    double seconds = 1;
    std::string authKeyPath;
};

// Verified rows first, forged ones last, so that a flood of forgeries pushes only forgeries off the table.
int trustRank(Trust trust) {
    switch (trust) {
        case Trust::VERIFIED:
            return 0;
        case Trust::UNSIGNED:
        case Trust::UNCHECKED:
            return 1;
        case Trust::ANOTHER_KEY:
            return 2;
        case Trust::FORGED:
            return 3;
    }
    return 3;
}

const char* trustText(Trust trust) {
    switch (trust) {
        case Trust::VERIFIED:
            return "yes";
        case Trust::ANOTHER_KEY:
            return "other key";
        case Trust::FORGED:
            return "FORGED";
        case Trust::UNSIGNED:
        case Trust::UNCHECKED:
            break;
    }
    return "-";
}

std::string bytesText(std::uint32_t bytes) { return bytes == 0 ? "-" : std::to_string(bytes) + " B"; }

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
    return text.empty() ? "-" : text;
}

// The table, one row per process up to MAX_ROWS, ordered by installation, then publishers first, then
// address; with a key, by how far each row can be trusted first, in a column of its own. Returns the
// rows left out.
std::size_t show(std::vector<Announcement> mirrors, bool checked) {
    std::sort(mirrors.begin(), mirrors.end(), [checked](const Announcement& a, const Announcement& b) {
        const int rankA = checked ? trustRank(a.trust) : 0;
        const int rankB = checked ? trustRank(b.trust) : 0;
        return std::tie(rankA, a.name, a.role, a.addresses, a.host, a.pid) <
               std::tie(rankB, b.name, b.role, b.addresses, b.host, b.pid);
    });
    std::vector<std::vector<std::string>> rows{
        {"INSTALLATION", "ROLE", "HOST", "ADDRESSES", "PID", "SIGNING", "TRACKER", "CONTROLLER", "FRAMES/S"}};
    if (checked) rows.front().emplace_back("VERIFIED");
    const std::size_t shown = std::min(mirrors.size(), MAX_ROWS);
    for (std::size_t i = 0; i < shown; ++i) {
        const Announcement& m = mirrors[i];
        rows.push_back({printable(m.name), m.role, printable(m.host), printable(joined(m.addresses)),
                        std::to_string(m.pid), m.keyId != 0 ? "key " + keyIdText(m.keyId) : "unsigned",
                        bytesText(m.trackerBytes), bytesText(m.controllerBytes), std::to_string(m.rate)});
        if (checked) rows.back().emplace_back(trustText(m.trust));
    }
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
    return mirrors.size() - shown;
}

int list(const ListSettings& settings) {
    checkInterface(settings.network);
    const auto key = settings.authKeyPath.empty() ? nullptr : std::make_unique<AuthKey>(settings.authKeyPath);
    const Participant participant(
        static_cast<dds_domainid_t>(settings.domain), settings.network,
        Announcement::ofThisProcess(ROLE_LIST, "-", settings.network, 0).encode(nullptr, dds_guid_t{}));
    ParticipantWatch watch(participant);
    const auto until = Clock::now() + clockDuration(settings.seconds);
    while (Clock::now() < until && stopSignal == 0)
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
    const Visible visible = visibleOnDomain(watch, key.get());
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
        const std::size_t left = show(visible.mirrors, key != nullptr);
        if (left > 0) say(std::to_string(left) + " more rows not shown");
        if (!others.empty()) say("and " + others + " on " + domain + ", not trackd-mirror");
        if (key == nullptr) {
            say("these rows are unauthenticated: anyone on the network can announce any of them; --auth-key FILE "
                "checks those signed with the installation's key");
        } else {
            std::size_t verified = 0;
            std::size_t forged = 0;
            for (const auto& mirror : visible.mirrors) {
                verified += mirror.trust == Trust::VERIFIED ? 1 : 0;
                forged += mirror.trust == Trust::FORGED ? 1 : 0;
            }
            say(std::to_string(verified) + " of " + std::to_string(visible.mirrors.size()) +
                " rows verified with key id " + keyIdText(key->id()) + "; " + std::to_string(forged) +
                " FORGED (this key's id, but a signature that fails: made up, altered or copied); the others "
                "are unsigned or name another key, and are unauthenticated");
        }
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
    command
        ->add_option("--auth-key", settings->authKeyPath,
                     "the installation's key file: the rows signed with it are checked and marked in a column "
                     "VERIFIED (yes, or FORGED when the signature fails); without it every row is unauthenticated")
        ->type_name("FILE")
        ->group("Security");
    return {command, [settings] { return list(*settings); }};
}

}  // namespace trackd_mirror
