// What every role of trackd-mirror shares with the operator.
#include "common.h"

#include <net/if.h>
#include <netdb.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

namespace trackd_mirror {

using namespace trackd_tools;

namespace {

constexpr std::size_t NAME_MAX_LENGTH = 64;
constexpr std::chrono::seconds SHUTDOWN_GRACE{3};
constexpr double TERMINAL_STATUS_SECONDS = 1;
constexpr double LOG_STATUS_SECONDS = 10;

void onSignal(int signal) { stopSignal = signal; }

// Names that go into Cyclone's XML and into a DDS partition: no markup, no wildcards.
CLI::Validator plainName(const char* what, const char* extra) {
    return {[what, extra](const std::string& text) -> std::string {
                const bool plain =
                    !text.empty() && text.size() <= NAME_MAX_LENGTH &&
                    std::all_of(text.begin(), text.end(), [extra](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr(extra, c) != nullptr;
                    });
                if (plain) return {};
                return "'" + text + "' is not " + what + ": up to 64 letters, digits and " + extra;
            },
            ""};
}

// A peer as Cyclone DDS takes it: an IPv4 address, or a host name that resolves to one, and an optional
// :PORT. Anything else would leave Cyclone without the peer and the tool waiting for nothing.
CLI::Validator peerAddress() {
    return {[](const std::string& text) -> std::string {
                std::string host = text;
                std::string port;
                if (const auto colon = text.find(':'); colon != std::string::npos && colon == text.rfind(':')) {
                    host = text.substr(0, colon);
                    port = text.substr(colon + 1);
                }
                addrinfo hints{};
                hints.ai_family = AF_INET;
                hints.ai_socktype = SOCK_DGRAM;
                hints.ai_flags = AI_NUMERICSERV;
                addrinfo* found = nullptr;
                const int error =
                    host.empty() ? EAI_NONAME
                                 : getaddrinfo(host.c_str(), port.empty() ? nullptr : port.c_str(), &hints, &found);
                if (found != nullptr) freeaddrinfo(found);
                if (error == 0) return {};
                return "'" + text + "' is not an IPv4 address or a host name with one, with an optional :PORT (" +
                       gai_strerror(error) + ")";
            },
            ""};
}

}  // namespace

volatile std::sig_atomic_t stopSignal = 0;

void catchStopSignals() {
    for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);
}

void say(const std::string& text) {
    if (isatty(STDERR_FILENO) != 0) std::cerr << "\r\033[K";
    std::cerr << TOOL << text << std::endl;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::uint64_t randomEpoch() {
    std::uint64_t epoch = 0;
    randombytes_buf(&epoch, sizeof epoch);
    return epoch;
}

// Cyclone's shutdown wakes its receive threads with a packet to itself, which never arrives when the
// interface has gone.
void limitShutdown() {
    std::thread([] {
        std::this_thread::sleep_for(SHUTDOWN_GRACE);
        say("Cyclone DDS did not shut down within " + std::to_string(SHUTDOWN_GRACE.count()) +
            " s (has the network interface gone?); exiting without it");
        std::_Exit(EXIT_FAILURE_AT_RUN_TIME);
    }).detach();
}

void addNetworkOptions(CLI::App& app, int& domain, NetworkChoice& network) {
    app.add_option("--domain", domain,
                   "the DDS domain, 0 to 232 (default 0); domain N takes UDP ports 7400 + 250 N to 7429 + 250 N")
        ->check(CLI::Range(0, DDS_DOMAIN_MAX))
        ->type_name("N")
        ->group("Network");
    app.add_option("--interface", network.interfaceName,
                   "the network interface to use (default: Cyclone DDS's choice, or CYCLONEDDS_URI's)")
        ->check(plainName("an interface name", "-_.@"))
        ->type_name("IF")
        ->group("Network");
    app.add_option("--peer", network.peers,
                   "a host to reach by unicast: an IPv4 address, or a host name that resolves to one, with an "
                   "optional :PORT; turns multicast off (repeat for each host)")
        ->check(plainName("a host name or address", "-_.:"))
        ->check(peerAddress())
        ->type_name("ADDR")
        ->group("Network");
}

void addCommonOptions(CLI::App& app, Common& common) {
    addKeyOption(app, "--tracker-key", common.trackerKey, "tracker segment key")->group("Segments");
    addKeyOption(app, "--controller-key", common.controllerKey, "controller segment key")->group("Segments");
    requireDistinctKeys(app, common.trackerKey, common.controllerKey);
    app.add_option("--name", common.name,
                   "the installation's name, up to 64 letters, digits, '-', '_' and '.' (default \"default\"); "
                   "installations with other names never mix")
        ->check(plainName("an installation name", "-_."))
        ->type_name("NAME")
        ->group("Network");
    addNetworkOptions(app, common.domain, common.network);
    app.add_option("--auth-key", common.authKeyPath,
                   "a file of 32 random bytes that only its owner may read (trackd-mirror keygen FILE makes one): "
                   "publish signs every frame with it, subscribe refuses every frame not signed with it")
        ->type_name("FILE")
        ->group("Security");
    app.add_option("--status-interval", common.statusSeconds,
                   "seconds between status lines (default: 1 on a terminal, where the line is rewritten in "
                   "place, and 10 otherwise)")
        ->check(clockSeconds())
        ->type_name("SECONDS")
        ->group("Output");
}

void checkInterface(const NetworkChoice& network) {
    const auto& name = network.interfaceName;
    if (!name.empty() && if_nametoindex(name.c_str()) == 0)
        throw std::runtime_error("no network interface named " + name + " on this host (ip link lists them)");
}

std::unique_ptr<AuthKey> loadKey(const Common& common) {
    return common.authKeyPath.empty() ? nullptr : std::make_unique<AuthKey>(common.authKeyPath);
}

StatusLine::StatusLine(double seconds)
    : terminal_(isatty(STDOUT_FILENO) != 0),
      period_(clockDuration(seconds > 0 ? seconds
                            : terminal_ ? TERMINAL_STATUS_SECONDS
                                        : LOG_STATUS_SECONDS)),
      next_(Clock::now() + period_) {}

void StatusLine::show(const std::string& text, Clock::time_point now) {
    next_ = now + period_;
    if (terminal_)
        std::cout << '\r' << text << "\033[K" << std::flush;
    else
        std::cout << text << std::endl;
}

void StatusLine::finish(const std::string& text) {
    if (terminal_)
        std::cout << '\r' << text << "\033[K\n";
    else
        std::cout << text << '\n';
    std::cout << std::flush;
}

void SecondStats::roll(Clock::time_point now) {
    if (now - start_ < std::chrono::seconds(1)) return;
    const double span = seconds(now - start_);
    rate_ = static_cast<double>(frames_) / span;
    std::sort(latencies_.begin(), latencies_.end());
    p50_ = latencies_.empty() ? -1 : latencies_[latencies_.size() / 2];
    p99_ = latencies_.empty() ? -1 : latencies_[std::min(latencies_.size() - 1, latencies_.size() * 99 / 100)];
    frames_ = 0;
    latencies_.clear();
    start_ = now;
}

std::string SecondStats::rateText() const {
    std::ostringstream out;
    out << std::llround(rate_) << " frames/s, " << total_ << " in all";
    return out.str();
}

std::string SecondStats::latencyText() const {
    if (p50_ < 0) return "latency -";
    std::ostringstream out;
    out << "latency p50 " << p50_ / 1000 << " µs p99 " << p99_ / 1000 << " µs";
    return out.str();
}

}  // namespace trackd_mirror
