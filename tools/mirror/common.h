// What every role of trackd-mirror shares with the operator: the options of publish and subscribe, the
// messages and the status line, the stopping signals and the limit on a stuck shutdown.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ddsEntities.h"
#include "frames.h"
#include "options.h"

namespace trackd_mirror {

using Clock = std::chrono::steady_clock;

constexpr int DDS_DOMAIN_MAX = 232;  // the highest domain id DDSI's port mapping allows
constexpr const char* TOOL = "trackd-mirror: ";

// Set by any of trackd_tools::STOP_SIGNALS; each role's loop ends when it is set.
extern volatile std::sig_atomic_t stopSignal;
void catchStopSignals();

// A message on its own line, also when a status line is being refreshed in place on the terminal.
void say(const std::string& text);

double seconds(Clock::duration d);
std::string hex(std::uint64_t value);
std::uint64_t randomEpoch();

// Once the segments are seen to, ends the process with a message and status 1 should Cyclone's shutdown
// take longer than a few seconds.
void limitShutdown();

// What publish and subscribe share on the command line.
struct Common {
    int trackerKey = trackd_tools::DEFAULT_TRACKER_KEY;
    int controllerKey = trackd_tools::DEFAULT_CONTROLLER_KEY;
    std::string name = "default";
    int domain = 0;
    NetworkChoice network;
    std::string authKeyPath;
    double statusSeconds = 0;  // 0: every second on a terminal, every 10 s otherwise
};

void addCommonOptions(CLI::App& app, Common& common);
// --domain, --interface and --peer, which every role that joins the domain takes.
void addNetworkOptions(CLI::App& app, int& domain, NetworkChoice& network);

// Throws when --interface names no interface of this host.
void checkInterface(const NetworkChoice& network);

// The key of --auth-key, or null without one.
std::unique_ptr<AuthKey> loadKey(const Common& common);

// One line of status, refreshed in place on a terminal and written as a line of its own otherwise.
class StatusLine {
public:
    explicit StatusLine(double seconds);
    bool due(Clock::time_point now) const { return now >= next_; }
    void show(const std::string& text, Clock::time_point now);
    void finish(const std::string& text);

private:
    bool terminal_;
    Clock::duration period_;
    Clock::time_point next_;
};

// Frames counted in all and over the last second, and the latencies that went with them.
class SecondStats {
public:
    void frame(std::int64_t latencyNs) {
        frame();
        if (latencyNs >= 0) latencies_.push_back(latencyNs);
    }
    void frame() {
        ++frames_;
        ++total_;
    }
    // Closes the second that ended, once a second.
    void roll(Clock::time_point now);
    std::string rateText() const;
    double rate() const { return rate_; }
    std::string latencyText() const;

private:
    long long frames_ = 0;
    long long total_ = 0;
    std::vector<std::int64_t> latencies_;
    Clock::time_point start_ = Clock::now();
    double rate_ = 0;
    std::int64_t p50_ = -1;
    std::int64_t p99_ = -1;
};

}  // namespace trackd_mirror
