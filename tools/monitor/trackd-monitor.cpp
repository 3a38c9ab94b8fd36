// trackd-monitor: shows what trackd's segments hold and whether they are healthy, through the library's own functions.
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "changeWatcher.h"
#include "options.h"
#include "recording.h"
#include "segmentKeys.h"
#include "snapshot.h"
#include "trackdLayout.h"
#include "zoravoVAR.h"

namespace {

using namespace trackd_tools;
using namespace trackd_layout;
using Clock = std::chrono::steady_clock;

constexpr double FROZEN_AFTER = 2.0;   // seconds without a change before live data counts as frozen
constexpr double RATE_WINDOW = 1.0;    // seconds over which the update rate is counted
constexpr double LOOKUP_PERIOD = 0.2;  // seconds between checks that each key still names our segment
constexpr int SETTLE_ATTEMPTS = 100;   // reads of a segment before a frame counts as unsettled
constexpr std::uint32_t MAX_CONTROLS_SHOWN = 4096;

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string fixed(double value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

// Writes to standard output or a recording; a failed write (a full disk, a closed pipe) throws.
class Output {
public:
    Output(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}
    void write(const std::string& text) {
        if (std::fputs(text.c_str(), file_) < 0 || std::fflush(file_) != 0)
            throw std::runtime_error("cannot write to " + name_ + ": " + std::strerror(errno));
    }

private:
    std::FILE* file_;
    std::string name_;
};

// One segment as the monitor follows it: attached through the library, looked up again by key from time
// to time, so that a segment that appears or replaces ours is attached by itself.
class Source {
public:
    Source(const char* kind, int key, std::uint32_t minimum, void* (*attach)(int))
        : kind_(kind), key_(key), minimum_(minimum), attach_(attach) {}

    // Attaches the segment the key names when it is not the one held; returns a notice to show, if any.
    std::string follow(Clock::time_point now, bool quiet) {
        lastLookup_ = now;
        const int id = shmget(key_, 0, 0);
        if (handle_ != nullptr && (id < 0 || id == id_)) return {};  // still ours, or gone with nothing new
        if (quiet && (id < 0 || id == failedId_)) return {};         // nothing new to try
        const bool replacing = handle_ != nullptr;
        // The library reports a failed attach on standard error, as it does for any program.
        void* handle = attach_(key_);
        if (handle == nullptr) {
            const int attachError = errno;
            failedId_ = id;
            return "hint: " + diagnoseAttach(kind_, key_, minimum_, attachError).reason;
        }
        handle_ = handle;
        id_ = id;
        shmid_ds info{};
        size_ = shmctl(id, IPC_STAT, &info) == 0 ? info.shm_segsz : minimum_;
        resetRate(now);
        reportedClaim_.clear();
        return replacing ? std::string(kind_) + " key " + keyText(key_) + " now names a new segment (id " +
                               std::to_string(id) + "): attached it"
                         : std::string();
    }

    bool lookupDue(Clock::time_point now) const { return seconds(now - lastLookup_) >= LOOKUP_PERIOD; }
    bool attached() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }
    const char* kind() const { return kind_; }
    int key() const { return key_; }

    // How many of `count` entries lie inside the segment; says once on standard error when the header claims more.
    std::uint32_t fitting(const char* items, std::uint32_t count, std::uint64_t fit) {
        if (fit >= count) return count;
        const std::string claim = std::string(kind_) + " header claims " + std::to_string(count) + " " + items + ", " +
                                  std::to_string(fit) + " fit in its " + std::to_string(size_) + " bytes";
        if (reportedClaim_.find(claim) == std::string::npos) {
            std::cerr << "trackd-monitor: " << claim << '\n';
            reportedClaim_ += claim + '\n';
        }
        return static_cast<std::uint32_t>(fit);
    }
    std::uint64_t size() const { return size_; }

    // Counts a change, if there was one, and the `looks` at the segment that found it (or found none).
    void observe(bool changed, Clock::time_point now, long long looks) {
        if (changed) {
            changes_.push_back(now);
            lastChange_ = now;
        }
        samples_.emplace_back(now, looks);
        looksInWindow_ += looks;
        const auto old = now - clockDuration(RATE_WINDOW);
        while (!changes_.empty() && changes_.front() < old) changes_.pop_front();
        for (; !samples_.empty() && samples_.front().first < old; samples_.pop_front())
            looksInWindow_ -= samples_.front().second;
        lastSample_ = now;
    }

    // `exact`: the watcher knows the writer's rhythm, so no write outran the looks.
    nlohmann::json health(bool exact) const {
        nlohmann::json h = {{"key", key_}, {"keyHex", keyText(key_).substr(0, 10)}, {"minimum", minimum_}};
        if (handle_ == nullptr) {
            h["state"] = "NOT ATTACHED";
            return h;
        }
        h["id"] = id_;
        shmid_ds info{};
        const bool stat = shmctl(id_, IPC_STAT, &info) == 0;
        h["size"] = stat ? nlohmann::json(info.shm_segsz) : nlohmann::json(nullptr);
        h["attached"] = stat ? nlohmann::json(info.shm_nattch) : nlohmann::json(nullptr);
        if (stat) {
            h["owner"] = userName(info.shm_perm.uid);
            h["mode"] = octalMode(info.shm_perm.mode);
            h["worldWritable"] = (info.shm_perm.mode & WORLD_WRITE_BIT) != 0;
        }
        // Removed: marked for destruction, so the key no longer names it; its writer may still be writing.
        const bool removed = !stat || (info.shm_perm.mode & SHM_DEST) != 0;
        h["removed"] = removed;
        const double window = std::min(RATE_WINDOW, seconds(lastSample_ - attachedAt_));
        const double quiet = seconds(lastSample_ - lastChange_);
        const auto changes = static_cast<double>(changes_.size());
        const auto samples = static_cast<double>(looksInWindow_);
        // Changes in most samples: the writer may be faster than the polling, so only a lower bound is known.
        // Every change seen counts.
        const bool above = !exact && changes > 0 && 2 * changes >= samples;
        h["updatesPerSecond"] = window > 0 ? changes / window : 0.0;
        h["rateIsLowerBound"] = above;
        h["secondsSinceChange"] = quiet;
        std::string state;
        if (removed)
            state = "REMOVED: key " + keyText(key_) + " no longer names this segment; its writer may still write to it";
        else if (!changes_.empty())
            state = "live";
        else if (window < RATE_WINDOW)
            state = "measuring";
        else if (quiet >= FROZEN_AFTER)
            state = "FROZEN: no change for " + fixed(quiet, 1) + " s";
        else
            state = "static: no change seen in " + fixed(quiet, 1) + " s";
        h["state"] = state;
        return h;
    }

    std::string line(const nlohmann::json& h) const {
        std::ostringstream out;
        out << kind_ << " key " << keyText(key_) << ": ";
        if (!attached()) {
            out << "NOT ATTACHED";
            return out.str();
        }
        out << "id " << id_ << ", ";
        if (h["size"].is_null())
            out << "size unknown";
        else
            out << h["size"].get<std::size_t>() << " bytes (minimum " << minimum_ << "), "
                << h["attached"].get<unsigned long>() << " attached, owner " << h["owner"].get<std::string>()
                << " mode " << h["mode"].get<std::string>();
        out << ", " << h["state"].get<std::string>();
        if (!h["removed"].get<bool>() && h["updatesPerSecond"].get<double>() > 0)
            out << ", updating at " << (h["rateIsLowerBound"].get<bool>() ? "above " : "")
                << fixed(h["updatesPerSecond"].get<double>(), 1) << " Hz";
        if (h.value("worldWritable", false)) out << "\n  WARNING: " << WORLD_WRITABLE_RISK;
        return out.str();
    }

private:
    void resetRate(Clock::time_point now) {
        changes_.clear();
        samples_.clear();
        looksInWindow_ = 0;
        attachedAt_ = lastChange_ = lastSample_ = now;
    }

    const char* kind_;
    int key_;
    std::uint32_t minimum_;
    void* (*attach_)(int);
    void* handle_ = nullptr;
    int id_ = -1;
    int failedId_ = -1;
    std::uint64_t size_ = 0;
    std::string reportedClaim_;
    Clock::time_point lastLookup_{}, attachedAt_{}, lastChange_{}, lastSample_{};
    std::deque<Clock::time_point> changes_;
    std::deque<std::pair<Clock::time_point, long long>> samples_;  // when the monitor looked, and how often
    long long looksInWindow_ = 0;
};

// Bit for bit, so that a NaN equals itself and -0 differs from +0. Empty vectors have no data to compare.
template <typename Item>
bool sameBits(const std::vector<Item>& a, const std::vector<Item>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Item)) == 0);
}

bool sameSensors(const Snapshot& a, const Snapshot& b) { return sameBits(a.sensors, b.sensors); }

bool sameControls(const Snapshot& a, const Snapshot& b) {
    return a.buttons == b.buttons && sameBits(a.valuators, b.valuators);
}

// Reads the sensors through the library's exported queries, as any user program would, but only those
// whose records lie inside the segment, so that a wrong header does not flood standard error.
void readSensors(Source& tracker, std::uint32_t maxSensors, Snapshot& into) {
    into.sensors.clear();
    if (!tracker.attached()) return;
    const void* base = tracker.handle();
    const std::uint32_t claimed = loadWord(base, NUM_SENSORS_AT);
    const std::uint32_t count =
        tracker.fitting("sensors", claimed,
                        entriesThatFit(claimed, loadWord(base, SENSOR_OFFSET_AT), loadWord(base, SENSOR_SIZE_AT),
                                       SENSOR_BYTES_READ, tracker.size()));
    for (std::uint32_t i = 0; i < count && i < maxSensors; ++i) {
        SensorState state;
        if (trackdGetPosition(base, static_cast<int>(i), state.position.data()) == 0 ||
            trackdGetEulerAngles(base, static_cast<int>(i), state.angles.data()) == 0)
            break;
        into.sensors.push_back(state);
    }
}

void readControls(Source& controller, Snapshot& into) {
    into.buttons.clear();
    into.valuators.clear();
    if (!controller.attached()) return;
    const void* base = controller.handle();
    const std::uint32_t claimedButtons = loadWord(base, NUM_BUTTONS_AT);
    const std::uint32_t claimedValuators = loadWord(base, NUM_VALUATORS_AT);
    const std::uint32_t buttons = controller.fitting("buttons", claimedButtons,
                                                     entriesThatFit(claimedButtons, loadWord(base, BUTTON_OFFSET_AT),
                                                                    CONTROL_BYTES, CONTROL_BYTES, controller.size()));
    const std::uint32_t valuators =
        controller.fitting("valuators", claimedValuators,
                           entriesThatFit(claimedValuators, loadWord(base, VALUATOR_OFFSET_AT), CONTROL_BYTES,
                                          CONTROL_BYTES, controller.size()));
    for (std::uint32_t i = 0; i < buttons && i < MAX_CONTROLS_SHOWN; ++i)
        into.buttons.push_back(trackdGetButton(base, static_cast<int>(i)));
    for (std::uint32_t i = 0; i < valuators && i < MAX_CONTROLS_SHOWN; ++i)
        into.valuators.push_back(trackdGetValuator(base, static_cast<int>(i)));
}

// trackd writes without a lock: a segment is read until two successive reads agree, so that a frame
// never mixes two updates. `into` holds the first read. Returns false when it never settled.
template <typename Read>
bool settle(Snapshot& into, Snapshot& again, Read read) {
    for (int attempt = 0; attempt < SETTLE_ATTEMPTS; ++attempt) {
        read(again);
        if (sameSensors(into, again) && sameControls(into, again)) return true;
        std::swap(into, again);
    }
    return false;
}

nlohmann::json jsonLine(const Snapshot& s, const Source& tracker, bool matrices, const std::vector<std::string>& names,
                        const nlohmann::json& health) {
    nlohmann::json line = toJson(s);
    for (std::size_t i = 0; i < s.sensors.size() && i < names.size(); ++i) line["sensors"][i]["name"] = names[i];
    if (matrices) {
        for (std::size_t i = 0; i < s.sensors.size(); ++i) {
            float m[4][4];
            nlohmann::json elements = nlohmann::json::array();
            if (trackdGetMatrix(tracker.handle(), static_cast<int>(i), m) == 1)
                for (int e = 0; e < 16; ++e) elements.push_back(jsonNumber(m[e / 4][e % 4]));
            line["sensors"][i]["matrix"] = elements;
        }
    }
    line["health"] = health;
    return line;
}

// A sensor as the tables show it: its number, and its name where --names gave one.
std::string sensorLabel(std::size_t sensor, const std::vector<std::string>& names) {
    return std::to_string(sensor) + (sensor < names.size() ? " " + names[sensor] : std::string());
}

std::string text(const Snapshot& s, const Source& tracker, const Source& controller, bool matrices,
                 const std::vector<std::string>& names, const nlohmann::json& health, const std::string& notice) {
    std::ostringstream out;
    out << tracker.line(health["tracker"]) << '\n'
        << controller.line(health["controller"]) << "\nchanges watched: " << health["watching"].get<std::string>()
        << "\n\n";
    int width = 7;  // the label column: "sensor" and a space, or the longest label
    for (std::size_t i = 0; i < s.sensors.size() && i < names.size(); ++i)
        width = std::max(width, static_cast<int>(sensorLabel(i, names).size()));
    char row[256];
    std::snprintf(row, sizeof row, "%-*s %10s %10s %10s   %9s %9s %9s\n", width, "sensor", "x", "y", "z", "angle X",
                  "angle Y", "angle Z");
    out << row;
    for (std::size_t i = 0; i < s.sensors.size(); ++i) {
        const SensorState& sensor = s.sensors[i];
        std::snprintf(row, sizeof row, "%-*s %10.4f %10.4f %10.4f   %9.3f %9.3f %9.3f\n", width,
                      sensorLabel(i, names).c_str(), double{sensor.position[0]}, double{sensor.position[1]},
                      double{sensor.position[2]}, double{sensor.angles[0]}, double{sensor.angles[1]},
                      double{sensor.angles[2]});
        out << row;
        float m[4][4];
        if (matrices && trackdGetMatrix(tracker.handle(), static_cast<int>(i), m) == 1)
            for (const auto& r : m) {
                std::snprintf(row, sizeof row, "%*s [%9.5f %9.5f %9.5f %9.5f]\n", width, "", double{r[0]}, double{r[1]},
                              double{r[2]}, double{r[3]});
                out << row;
            }
    }
    out << "\nbuttons  ";
    for (std::int32_t b : s.buttons) out << ' ' << b;
    out << "\nvaluators";
    for (float v : s.valuators) {
        std::snprintf(row, sizeof row, " %7.3f", double{v});
        out << row;
    }
    out << '\n';
    if (!notice.empty()) out << '\n' << notice << '\n';
    return out.str();
}

// The live view reads single keys without echo while it runs, and gives the terminal back as it found it.
class KeyReader {
public:
    explicit KeyReader(bool enabled) {
        if (!enabled || isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~KeyReader() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    bool quitPressed() const {
        if (!active_) return false;
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        char key = 0;
        return poll(&ready, 1, 0) == 1 && read(STDIN_FILENO, &key, 1) == 1 && (key == 'q' || key == 'Q');
    }

private:
    termios saved_{};
    bool active_ = false;
};

// The catchable signals that would end the monitor: each stops it cleanly. A closed pipe shows as a write error.
constexpr int STOP_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM};

struct Settings {
    int trackerKey = DEFAULT_TRACKER_KEY;
    int controllerKey = DEFAULT_CONTROLLER_KEY;
    double rate = 10, pollRate = 20000, duration = 0, sampleFor = 1.0;
    bool once = false, json = false, matrices = false, wait = false, steadyPoll = false, overwrite = false;
    std::uint32_t maxSensors = 64;
    std::string record;
    std::vector<std::string> names;
};

int run(const Settings& settings) {
    Source tracker("tracker", settings.trackerKey, TRACKER_SEGMENT_SIZE, trackdInitTrackerReader);
    Source controller("controller", settings.controllerKey, CONTROLLER_SEGMENT_SIZE, trackdInitControllerReader);
    const bool live = !settings.once && !settings.json && settings.record.empty() && isatty(STDOUT_FILENO) != 0;
    for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    // Waiting, a missing segment is no failure yet: it is looked up quietly until it appears.
    auto now = Clock::now();
    std::string notice;
    const auto attachMissing = [&](bool quiet) {
        for (Source* source : {&tracker, &controller}) {
            if (source->attached()) continue;
            const std::string hint = source->follow(now, quiet);
            if (!hint.empty()) std::cerr << hint << '\n';
        }
    };
    attachMissing(settings.wait);
    if (settings.wait && !(tracker.attached() && controller.attached())) {
        std::cerr << "trackd-monitor: waiting for";
        for (const Source* s : {&tracker, &controller})
            if (!s->attached())
                std::cerr << (s == &controller && !tracker.attached() ? " and" : "") << " the " << s->kind()
                          << " segment under key " << keyText(s->key());
        std::cerr << "; Ctrl-C stops\n";
        while (stopSignal == 0 && !(tracker.attached() && controller.attached())) {
            std::this_thread::sleep_for(clockDuration(LOOKUP_PERIOD));
            now = Clock::now();
            attachMissing(true);
        }
        if (stopSignal != 0) return 0;
    }
    if (!tracker.attached() && !controller.attached()) return EXIT_FAILURE_AT_RUN_TIME;

    std::FILE* recordFile = settings.record.empty() ? nullptr : openRecordingFile(settings.record, settings.overwrite);
    Output output = recordFile != nullptr ? Output(recordFile, settings.record) : Output(stdout, "standard output");
    Output console(stdout, "standard output");
    if (recordFile != nullptr) {
        output.write(recordingHeader(settings.names).dump() + '\n');
        console.write("trackd-monitor: recording every change to " + printable(settings.record) + "; Ctrl-C stops\n");
        // A recording must see every write, also when other processes keep the machine busy.
        if (!raiseToRealtime())
            std::cerr << "trackd-monitor: without real-time priority (it needs root, CAP_SYS_NICE or an rtprio "
                         "limit), a busy machine can make the recording miss changes\n";
    }
    const KeyReader keys(live);

    const auto start = Clock::now();
    const auto showPeriod = clockDuration(1 / settings.rate);
    const auto end = settings.duration > 0 ? start + clockDuration(settings.duration) : Clock::time_point::max();
    // A recording shows nothing: the lookups and the end are its only deadlines, and it sleeps between changes.
    auto nextShow = recordFile != nullptr ? Clock::time_point::max()
                    : settings.once       ? start + clockDuration(settings.sampleFor)
                                          : start;
    auto nextLookup = start + clockDuration(LOOKUP_PERIOD);
    MonotonicClock clock;
    ChangeWatcher<MonotonicClock> watcher(clock, MonotonicClock::span(clockDuration(1 / settings.pollRate)),
                                          settings.steadyPoll);
    Snapshot current, fresh, scratch;
    long long unsettled = 0;
    long long looks = 0;
    bool first = true, sensorsChanged = false, controlsChanged = false;
    // One look: both segments in each read, so that a line holds what both held at one moment.
    const auto readBoth = [&](Snapshot& s) {
        readSensors(tracker, settings.maxSensors, s);
        readControls(controller, s);
    };
    const auto look = [&] {
        ++looks;
        readBoth(fresh);
        // A read equal to the last settled frame shows no change: a write under way shows at a later look.
        if (!first && sameSensors(fresh, current) && sameControls(fresh, current)) return false;
        const bool settled = settle(fresh, scratch, readBoth);
        fresh.time = seconds(Clock::now() - start);
        unsettled += settled ? 0 : 1;
        sensorsChanged = first || !sameSensors(fresh, current);
        controlsChanged = first || !sameControls(fresh, current);
        return sensorsChanged || controlsChanged;
    };
    for (now = start; stopSignal == 0 && !keys.quitPressed() && now < end; now = Clock::now()) {
        if (now >= nextLookup) {
            nextLookup = now + clockDuration(LOOKUP_PERIOD);
            for (Source* source : {&tracker, &controller}) {
                const std::string said = source->follow(now, true);
                if (said.empty()) continue;
                watcher.restart();  // a segment made anew: its writer's rhythm is learnt afresh
                notice = "trackd-monitor: " + said;
                if (!live) std::cerr << notice << '\n';
            }
        }
        const bool changed = watcher.watch(look, MonotonicClock::at(std::min({nextShow, nextLookup, end})));
        now = Clock::now();
        tracker.observe(changed && !first && sensorsChanged, now, looks);
        controller.observe(changed && !first && controlsChanged, now, looks);
        looks = 0;
        if (changed) {
            std::swap(current, fresh);
            if (recordFile != nullptr) output.write(toJson(current).dump() + '\n');
            first = false;
        }
        if (now >= nextShow) {
            const bool exact = watcher.state() == WriteRhythm::State::LOCKED;
            const nlohmann::json health = {{"tracker", tracker.health(exact)},
                                           {"controller", controller.health(exact)},
                                           {"watching", watcher.describe()}};
            if (settings.json)
                output.write(jsonLine(current, tracker, settings.matrices, settings.names, health).dump() + '\n');
            else
                output.write((live ? "\x1b[H\x1b[2J" : "") +
                             text(current, tracker, controller, settings.matrices, settings.names, health, notice) +
                             (live ? "\nq quits\n" : ""));
            if (settings.once) break;
            nextShow += showPeriod;
            if (nextShow < now) nextShow = now + showPeriod;  // after a stall, show the present, not a backlog
        }
    }
    if (recordFile != nullptr) {
        if (unsettled > 0)
            std::cerr << "trackd-monitor: " << unsettled << " reads never settled in " << SETTLE_ATTEMPTS
                      << " attempts; the last of each was recorded\n";
        if (std::fclose(recordFile) != 0)
            throw std::runtime_error("cannot write to " + settings.record + ": " + std::strerror(errno));
    }
    // A segment that never attached is a failure, even when the other was shown.
    return tracker.attached() && controller.attached() ? 0 : EXIT_FAILURE_AT_RUN_TIME;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-monitor: shows what trackd's tracker and controller segments hold (sensor positions and\n"
        "angles in degrees, buttons, valuators) and each segment's health: size, owner and mode, how often\n"
        "it changes, and whether its key still names it. The live view refreshes in place until q, Ctrl-C\n"
        "or --duration; when trackd replaces a segment, the monitor attaches the new one by itself."};
    addVersion(app, "trackd-monitor");
    Settings settings;
    addKeyOption(app, "--tracker-key", settings.trackerKey, "System V key of the tracker segment");
    addKeyOption(app, "--controller-key", settings.controllerKey, "System V key of the controller segment");
    app.add_option("--rate", settings.rate, "snapshots shown or written per second")
        ->check(finiteRange(0.1, 1000))
        ->capture_default_str();
    app.add_option("--poll-rate", settings.pollRate,
                   "reads per second while trackd's rhythm is not known (or with --steady-poll)")
        ->check(finiteRange(1, 100000))
        ->capture_default_str();
    app.add_flag("--steady-poll", settings.steadyPoll,
                 "read at --poll-rate all the time, instead of sleeping until trackd's next write is due");
    app.add_flag("--once", settings.once, "print one snapshot with the segments' health, then exit");
    app.add_option("--sample", settings.sampleFor, "with --once, seconds to watch for changes first")
        ->check(finiteRange(0, 60))
        ->capture_default_str();
    app.add_flag("--json", settings.json, "write one JSON object a line instead of the live view");
    app.add_flag("--matrix", settings.matrices, "also show each sensor's pose matrix");
    app.add_option("--sensors", settings.maxSensors, "show at most this many sensors")
        ->check(CLI::Range(1U, 4096U))
        ->capture_default_str();
    app.add_option("--record", settings.record,
                   "write every change of the segments to FILE, one JSON line each after a format line, for\n"
                   "trackd-sim --play")
        ->type_name("FILE");
    app.add_flag("--overwrite", settings.overwrite, "with --record, replace FILE if it exists")
        ->needs(app.get_option("--record"));
    addSensorNamesOption(app, settings.names,
                         "names of sensors 0, 1, ... in order, such as head,wand: shown beside their numbers, in\n"
                         "--json as each sensor's \"name\", and kept in a recording's first line");
    app.add_option("--duration", settings.duration, "stop after this many seconds")->check(clockSeconds());
    app.add_flag("--wait", settings.wait, "wait for segments that do not exist yet, saying which");
    app.get_option("--once")->excludes(app.get_option("--record"));
    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    try {
        return run(settings);
    } catch (const std::exception& e) {
        std::cerr << "trackd-monitor: " << printable(e.what()) << '\n';  // its messages quote file names
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
