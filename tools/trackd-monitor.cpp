// trackd-monitor: shows what trackd's segments hold and whether they are healthy, through the library's own functions.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "keys.h"
#include "snapshot.h"
#include "zoravoVAR.h"

namespace {

using namespace trackd_tools;
using Clock = std::chrono::steady_clock;

constexpr double SAMPLES_PER_SECOND = 1000;  // content is sampled this often to tell how fast trackd writes
constexpr double FROZEN_AFTER = 2.0;         // seconds without a change before live data counts as frozen

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Why an attach failed, in one line, from what the kernel says about the key.
std::string attachHint(const char* kind, int key, std::size_t minimum) {
    const int id = shmget(key, 0, 0);
    if (id < 0 && errno == ENOENT)
        return "hint: no segment exists for " + std::string(kind) + " key " + std::to_string(key) +
               ": is trackd (or trackd-sim) running, and with this key?";
    if (id < 0)
        return "hint: the " + std::string(kind) + " segment for key " + std::to_string(key) + " cannot be looked up (" +
               std::strerror(errno) + "): check its permissions with ipcs -m";
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0)
        return "hint: no permission to read the " + std::string(kind) + " segment for key " + std::to_string(key) +
               " (" + std::strerror(errno) + "): run as its owner, or have its permissions widened";
    if (info.shm_segsz < minimum)
        return "hint: the segment for key " + std::to_string(key) + " has " + std::to_string(info.shm_segsz) +
               " bytes, fewer than the " + std::to_string(minimum) + " a " + kind +
               " segment needs: is this the right key?";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", info.shm_perm.mode & 0777);
    return "hint: no permission to attach the " + std::string(kind) + " segment for key " + std::to_string(key) +
           " read-write (mode " + mode + ", owner uid " + std::to_string(info.shm_perm.uid) +
           "): run as its owner, or have trackd create it writable for you";
}

// Watches one attached segment: what the kernel says of it, and how often its content changes.
class SegmentWatch {
public:
    SegmentWatch(const char* kind, int key, std::size_t minimum, int id)
        : kind_(kind), key_(key), minimum_(minimum), id_(id) {}

    void observe(std::uint64_t fingerprint, Clock::time_point now) {
        if (!seen_ || fingerprint != fingerprint_) {
            if (seen_) changes_.push_back(now);
            lastChange_ = now;
            fingerprint_ = fingerprint;
        }
        if (!seen_) firstSample_ = now;
        seen_ = true;
        while (!changes_.empty() && now - changes_.front() > std::chrono::seconds(1)) changes_.pop_front();
        lastSample_ = now;
    }

    nlohmann::json health() const {
        nlohmann::json h = {{"key", key_}, {"id", id_}, {"minimum", minimum_}};
        shmid_ds info{};
        const bool stat = id_ >= 0 && shmctl(id_, IPC_STAT, &info) == 0;
        h["size"] = stat ? nlohmann::json(info.shm_segsz) : nlohmann::json(nullptr);
        h["attached"] = stat ? nlohmann::json(info.shm_nattch) : nlohmann::json(nullptr);
        const bool removed = !stat || (info.shm_perm.mode & SHM_DEST) != 0;
        h["removed"] = removed;
        const int current = shmget(key_, 0, 0);
        h["replacedBy"] = current >= 0 && current != id_ ? nlohmann::json(current) : nlohmann::json(nullptr);
        const double window = std::min(1.0, seconds(lastSample_ - firstSample_));
        const double quiet = seconds(lastSample_ - lastChange_);
        h["updatesPerSecond"] = window > 0 ? static_cast<double>(changes_.size()) / window : 0.0;
        h["secondsSinceChange"] = quiet;
        std::string state;
        if (removed)
            state = "REMOVED: trackd removed this segment, its data is frozen";
        else if (!changes_.empty())
            state = "live";
        else if (quiet >= FROZEN_AFTER)
            state = "FROZEN: no change for " + fixed(quiet, 1) + " s";
        else
            state = "static: no change seen in " + fixed(quiet, 1) + " s";
        if (!h["replacedBy"].is_null())
            state += "; key " + std::to_string(key_) + " now names segment " + std::to_string(current) +
                     ": restart to attach it";
        h["state"] = state;
        return h;
    }

    std::string line(const nlohmann::json& h) const {
        std::ostringstream out;
        out << kind_ << " key " << key_ << " id " << id_ << ": ";
        if (h["size"].is_null())
            out << "size unknown";
        else
            out << h["size"].get<std::size_t>() << " bytes (minimum " << minimum_ << "), "
                << h["attached"].get<unsigned long>() << " attached";
        out << ", " << h["state"].get<std::string>();
        if (!h["removed"].get<bool>() && h["updatesPerSecond"].get<double>() > 0)
            out << ", updating at " << fixed(h["updatesPerSecond"].get<double>(), 1) << " Hz";
        return out.str();
    }

    static std::string fixed(double value, int digits) {
        char text[32];
        std::snprintf(text, sizeof text, "%.*f", digits, value);
        return text;
    }

private:
    const char* kind_;
    int key_;
    std::size_t minimum_;
    int id_;
    bool seen_ = false;
    std::uint64_t fingerprint_ = 0;
    std::deque<Clock::time_point> changes_;
    Clock::time_point firstSample_{}, lastSample_{}, lastChange_{};
};

struct Attachments {
    void* tracker;
    void* controller;
};

void mix(std::uint64_t& hash, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) hash = (hash ^ ((word >> (8 * i)) & 0xFF)) * 0x100000001B3ULL;
}

struct Sample {
    Snapshot snapshot;
    std::uint64_t trackerPrint = 0xCBF29CE484222325ULL;
    std::uint64_t controllerPrint = 0xCBF29CE484222325ULL;
};

// Reads everything through the library's exported queries, as any user program would.
Sample sample(const Attachments& a, double time, std::size_t displayedSensors) {
    Sample s;
    s.snapshot.time = time;
    const int sensors = trackdGetNumberOfSensors(a.tracker);
    mix(s.trackerPrint, static_cast<std::uint32_t>(sensors));
    for (int i = 0; i < sensors && static_cast<std::size_t>(i) < displayedSensors; ++i) {
        SensorState state;
        if (trackdGetPosition(a.tracker, i, state.position.data()) == 0 ||
            trackdGetEulerAngles(a.tracker, i, state.angles.data()) == 0)
            break;
        for (float v : state.position) mix(s.trackerPrint, std::bit_cast<std::uint32_t>(v));
        for (float v : state.angles) mix(s.trackerPrint, std::bit_cast<std::uint32_t>(v));
        s.snapshot.sensors.push_back(state);
    }
    const int buttons = trackdGetNumberOfButtons(a.controller);
    const int valuators = trackdGetNumberOfValuators(a.controller);
    mix(s.controllerPrint, static_cast<std::uint32_t>(buttons));
    mix(s.controllerPrint, static_cast<std::uint32_t>(valuators));
    for (int i = 0; i < buttons && i < 4096; ++i) {
        s.snapshot.buttons.push_back(trackdGetButton(a.controller, i));
        mix(s.controllerPrint, static_cast<std::uint32_t>(s.snapshot.buttons.back()));
    }
    for (int i = 0; i < valuators && i < 4096; ++i) {
        s.snapshot.valuators.push_back(trackdGetValuator(a.controller, i));
        mix(s.controllerPrint, std::bit_cast<std::uint32_t>(s.snapshot.valuators.back()));
    }
    return s;
}

nlohmann::json jsonLine(const Sample& s, const Attachments& a, bool matrices, const SegmentWatch& tracker,
                        const SegmentWatch& controller) {
    nlohmann::json line = toJson(s.snapshot);
    if (matrices) {
        for (std::size_t i = 0; i < s.snapshot.sensors.size(); ++i) {
            float m[4][4];
            nlohmann::json elements = nlohmann::json::array();
            if (trackdGetMatrix(a.tracker, static_cast<int>(i), m) == 1)
                for (int e = 0; e < 16; ++e) elements.push_back(jsonNumber(m[e / 4][e % 4]));
            line["sensors"][i]["matrix"] = elements;
        }
    }
    line["health"] = {{"tracker", tracker.health()}, {"controller", controller.health()}};
    return line;
}

std::string text(const Sample& s, const Attachments& a, bool matrices, const SegmentWatch& tracker,
                 const SegmentWatch& controller) {
    std::ostringstream out;
    out << tracker.line(tracker.health()) << '\n' << controller.line(controller.health()) << "\n\n";
    char row[256];
    std::snprintf(row, sizeof row, "%-7s %10s %10s %10s   %9s %9s %9s\n", "sensor", "x", "y", "z", "angle X", "angle Y",
                  "angle Z");
    out << row;
    for (std::size_t i = 0; i < s.snapshot.sensors.size(); ++i) {
        const SensorState& sensor = s.snapshot.sensors[i];
        std::snprintf(row, sizeof row, "%-7zu %10.4f %10.4f %10.4f   %9.3f %9.3f %9.3f\n", i,
                      double{sensor.position[0]}, double{sensor.position[1]}, double{sensor.position[2]},
                      double{sensor.angles[0]}, double{sensor.angles[1]}, double{sensor.angles[2]});
        out << row;
        float m[4][4];
        if (matrices && trackdGetMatrix(a.tracker, static_cast<int>(i), m) == 1)
            for (const auto& r : m) {
                std::snprintf(row, sizeof row, "        [%9.5f %9.5f %9.5f %9.5f]\n", double{r[0]}, double{r[1]},
                              double{r[2]}, double{r[3]});
                out << row;
            }
    }
    out << "\nbuttons  ";
    for (std::int32_t b : s.snapshot.buttons) out << ' ' << b;
    out << "\nvaluators";
    for (float v : s.snapshot.valuators) {
        std::snprintf(row, sizeof row, " %7.3f", double{v});
        out << row;
    }
    out << '\n';
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-monitor: shows what trackd's tracker and controller segments hold, and their health,\n"
        "refreshed in place until Ctrl-C or --duration."};
    int trackerKey = DEFAULT_TRACKER_KEY;
    int controllerKey = DEFAULT_CONTROLLER_KEY;
    double rate = 10, duration = 0, sampleFor = 0.5;
    bool once = false, json = false, matrices = false;
    std::size_t maxSensors = 64;
    std::string record;
    addKeyOption(app, "--tracker-key", trackerKey, "System V key of the tracker segment");
    addKeyOption(app, "--controller-key", controllerKey, "System V key of the controller segment");
    app.add_option("--rate", rate, "snapshots per second")->check(CLI::Range(0.1, 1000.0))->capture_default_str();
    app.add_flag("--once", once, "print one snapshot with the segments' health, then exit");
    app.add_option("--sample", sampleFor, "with --once, seconds to watch for changes first")
        ->check(CLI::Range(0.0, 60.0))
        ->capture_default_str();
    app.add_flag("--json", json, "write one JSON object a line instead of the live view");
    app.add_flag("--matrix", matrices, "also show each sensor's pose matrix");
    app.add_option("--sensors", maxSensors, "show at most this many sensors")
        ->check(CLI::Range(1U, 4096U))
        ->capture_default_str();
    app.add_option("--record", record, "write the JSON lines to FILE, for trackd-sim --play")->type_name("FILE");
    app.add_option("--duration", duration, "stop after this many seconds")->check(CLI::PositiveNumber);
    app.get_option("--once")->excludes(app.get_option("--record"));
    CLI11_PARSE(app, argc, argv);

    const int trackerId = shmget(trackerKey, 0, 0);
    const int controllerId = shmget(controllerKey, 0, 0);
    const Attachments attachments{trackdInitTrackerReader(trackerKey), trackdInitControllerReader(controllerKey)};
    if (attachments.tracker == nullptr) std::cerr << attachHint("tracker", trackerKey, 1308) << '\n';
    if (attachments.controller == nullptr) std::cerr << attachHint("controller", controllerKey, 296) << '\n';
    if (attachments.tracker == nullptr || attachments.controller == nullptr) return 1;

    std::ofstream recording;
    if (!record.empty()) {
        recording.open(record);
        if (!recording) {
            std::cerr << "trackd-monitor: cannot write " << record << ": " << std::strerror(errno) << '\n';
            return 1;
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    SegmentWatch trackerWatch("tracker", trackerKey, 1308, trackerId);
    SegmentWatch controllerWatch("controller", controllerKey, 296, controllerId);
    const bool live = !once && !json && record.empty() && isatty(STDOUT_FILENO) != 0;
    if (!record.empty()) std::printf("trackd-monitor: recording to %s at %g Hz; Ctrl-C stops\n", record.c_str(), rate);

    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / rate));
    const auto samplePeriod =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / SAMPLES_PER_SECOND));
    auto nextShow =
        once ? start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sampleFor)) : start;
    for (auto now = start; stopSignal == 0; now = Clock::now()) {
        if (duration > 0 && seconds(now - start) >= duration) break;
        const Sample s = sample(attachments, seconds(now - start), maxSensors);
        trackerWatch.observe(s.trackerPrint, now);
        controllerWatch.observe(s.controllerPrint, now);
        if (now >= nextShow) {
            if (recording.is_open()) {
                recording << jsonLine(s, attachments, matrices, trackerWatch, controllerWatch).dump() << '\n';
                recording.flush();
            } else if (json) {
                std::printf("%s\n", jsonLine(s, attachments, matrices, trackerWatch, controllerWatch).dump().c_str());
                std::fflush(stdout);
            } else {
                std::printf("%s%s", live ? "\x1b[H\x1b[2J" : "",
                            text(s, attachments, matrices, trackerWatch, controllerWatch).c_str());
                std::fflush(stdout);
            }
            if (once) break;
            nextShow += period;
        }
        std::this_thread::sleep_until(std::min(now + samplePeriod, nextShow));
    }
    return 0;
}
