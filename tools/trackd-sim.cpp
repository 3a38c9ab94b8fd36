// trackd-sim: plays trackd's part, creating the tracker and controller segments and keeping them updated.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "changeWatcher.h"
#include "options.h"
#include "recording.h"

namespace {

using namespace trackd_tools;
using Clock = std::chrono::steady_clock;

// The layouts readers must follow, with offsets and a record size chosen so that a reader assuming a
// 16-byte header and 24-byte records reads garbage.
constexpr std::uint32_t TRACKER_MINIMUM = 1308;
constexpr std::uint32_t CONTROLLER_MINIMUM = 296;
constexpr std::uint32_t SENSOR_OFFSET = 36;
constexpr std::uint32_t SENSOR_SIZE = 52;      // 24 bytes read by the library, then a frame number and a time
constexpr std::uint32_t VALUATOR_OFFSET = 28;  // valuators before buttons: the two offsets are independent
constexpr std::uint32_t BUTTON_GAP = 12;
constexpr std::uint32_t MAX_SENSORS = 1024;
constexpr std::uint32_t MAX_CONTROLS = 4096;

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

class SimSegment {
public:
    SimSegment(const char* kind, int key, std::uint32_t size, int mode, bool replace) : kind_(kind), key_(key) {
        id_ = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
        if (id_ < 0 && errno == EEXIST && replace) {
            const int old = shmget(key, 0, 0);
            if (old >= 0 && shmctl(old, IPC_RMID, nullptr) != 0) fail("cannot remove the segment under");
            id_ = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
        }
        if (id_ < 0 && errno == EEXIST)
            throw std::runtime_error(std::string("a segment already exists for the ") + kind + " key " + keyText(key) +
                                     "; stop what made it, or pass --replace");
        if (id_ < 0) fail("cannot create the segment under");
        void* address = shmat(id_, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's failure value
            shmctl(id_, IPC_RMID, nullptr);
            fail("cannot attach the segment under");
        }
        bytes_ = static_cast<unsigned char*>(address);
        size_ = size;
    }
    ~SimSegment() {
        shmdt(bytes_);
        shmctl(id_, IPC_RMID, nullptr);
    }
    SimSegment(const SimSegment&) = delete;
    SimSegment& operator=(const SimSegment&) = delete;

    // One 32-bit store per word, as trackd makes them: readers never see a torn word.
    void put(std::uint32_t offset, std::uint32_t word) {
        std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(bytes_ + offset))
            .store(word, std::memory_order_relaxed);
    }
    void put(std::uint32_t offset, float value) { put(offset, std::bit_cast<std::uint32_t>(value)); }
    void put(std::uint32_t offset, std::int32_t value) { put(offset, static_cast<std::uint32_t>(value)); }

    int id() const { return id_; }
    std::uint32_t size() const { return size_; }

private:
    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error(std::string(what) + " the " + kind_ + " key " + keyText(key_) + ": " +
                                 std::strerror(errno));
    }

    const char* kind_;
    int key_;
    int id_ = -1;
    std::uint32_t size_ = 0;
    unsigned char* bytes_ = nullptr;
};

std::uint32_t trackerSize(std::uint32_t sensors) {
    return std::max(TRACKER_MINIMUM, SENSOR_OFFSET + sensors * SENSOR_SIZE);
}
std::uint32_t buttonOffset(std::uint32_t valuators) { return VALUATOR_OFFSET + 4 * valuators + BUTTON_GAP; }
std::uint32_t controllerSize(std::uint32_t buttons, std::uint32_t valuators) {
    return std::max(CONTROLLER_MINIMUM, buttonOffset(valuators) + 4 * buttons);
}

class Simulator {
public:
    Simulator(SimSegment& tracker, SimSegment& controller, std::uint32_t sensors, std::uint32_t buttons,
              std::uint32_t valuators)
        : tracker_(tracker), controller_(controller), sensors_(sensors), buttons_(buttons), valuators_(valuators) {
        tracker_.put(4, sensors);
        tracker_.put(8, SENSOR_OFFSET);
        tracker_.put(12, SENSOR_SIZE);
        controller_.put(4, buttonOffset(valuators));
        controller_.put(8, VALUATOR_OFFSET);
        controller_.put(12, buttons);
        controller_.put(16, valuators);
    }

    void write(const Snapshot& snapshot) {
        ++frame_;
        const auto time = static_cast<float>(snapshot.time);
        for (std::uint32_t i = 0; i < sensors_; ++i) {
            const SensorState& s = snapshot.sensors[i];
            const std::uint32_t at = SENSOR_OFFSET + i * SENSOR_SIZE;
            tracker_.put(at + 0, s.position[0]);
            tracker_.put(at + 4, s.position[1]);
            tracker_.put(at + 8, s.position[2]);
            tracker_.put(at + 12, s.angles[1]);  // the record stores Y, X, Z
            tracker_.put(at + 16, s.angles[0]);
            tracker_.put(at + 20, s.angles[2]);
            tracker_.put(at + 24, frame_);
            tracker_.put(at + 28, time);
        }
        for (std::uint32_t i = 0; i < valuators_; ++i) controller_.put(VALUATOR_OFFSET + 4 * i, snapshot.valuators[i]);
        for (std::uint32_t i = 0; i < buttons_; ++i)
            controller_.put(buttonOffset(valuators_) + 4 * i, snapshot.buttons[i]);
        tracker_.put(0, frame_);
        controller_.put(0, frame_);
    }

private:
    SimSegment& tracker_;
    SimSegment& controller_;
    std::uint32_t sensors_, buttons_, valuators_;
    std::uint32_t frame_ = 0;
};

// Sensor 0 is a head that sways, sensor 1 a hand that circles and turns about all three axes; further
// sensors circle at other heights and speeds. Buttons toggle at their own periods; valuators sweep.
Snapshot motion(double t, std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators) {
    Snapshot s;
    s.time = t;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const double k = i;
        SensorState state;
        if (i == 0) {
            state.position = {static_cast<float>(0.1 * std::sin(0.5 * t)),
                              static_cast<float>(1.7 + 0.02 * std::sin(1.1 * t)),
                              static_cast<float>(0.05 * std::cos(0.5 * t))};
            state.angles = {static_cast<float>(8 * std::sin(0.7 * t)), static_cast<float>(20 * std::sin(0.4 * t)),
                            static_cast<float>(4 * std::sin(0.3 * t))};
        } else {
            const double w = 0.6 + 0.25 * k;
            state.position = {static_cast<float>(0.3 * std::cos(w * t)),
                              static_cast<float>(1.0 + 0.2 * k + 0.1 * std::sin(2 * w * t)),
                              static_cast<float>(-0.4 + 0.3 * std::sin(w * t))};
            state.angles = {static_cast<float>(30 * std::sin(0.9 * t + k)),
                            static_cast<float>(std::fmod(40 * w * t, 360.0) - 180),
                            static_cast<float>(45 * std::sin(1.3 * t + k))};
        }
        s.sensors.push_back(state);
    }
    for (std::uint32_t i = 0; i < buttons; ++i)
        s.buttons.push_back(static_cast<std::int32_t>(static_cast<long long>(t / (1.5 + 0.7 * i)) % 2));
    for (std::uint32_t i = 0; i < valuators; ++i)
        s.valuators.push_back(static_cast<float>(i % 2 == 0 ? std::sin(0.8 * t + i) : std::cos(0.8 * t + i)));
    return s;
}

// The values of --pattern, from which a reader can check every word it reads: with k = frame mod 100,
// component c of sensor s's position is 1000s + 100c + k, its angles Y, X and Z are k, 2k and 3k
// degrees, button b holds 1000b + k and valuator v holds 1000v + k.
Snapshot checkable(long long frame, std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators) {
    const auto k = static_cast<std::int32_t>(frame % 100);
    const auto kf = static_cast<float>(k);
    Snapshot s;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const auto base = static_cast<float>(1000 * i) + kf;
        s.sensors.push_back({{base, base + 100, base + 200}, {2 * kf, kf, 3 * kf}});
    }
    for (std::uint32_t i = 0; i < buttons; ++i) s.buttons.push_back(static_cast<std::int32_t>(1000 * i) + k);
    for (std::uint32_t i = 0; i < valuators; ++i) s.valuators.push_back(static_cast<float>(1000 * i) + kf);
    return s;
}

// The fixed pose of --static: sensor i at (0.5 + i, 1.25 + i, -2 - i) with angles X, Y, Z of
// (10 + 15i, 20 + 10i, 30 + 5i) degrees; button i holds i + 1; valuator i holds 0.25i - 0.5.
Snapshot staticPose(std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators) {
    Snapshot s;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const auto f = static_cast<float>(i);
        s.sensors.push_back({{0.5F + f, 1.25F + f, -2 - f}, {10 + 15 * f, 20 + 10 * f, 30 + 5 * f}});
    }
    for (std::uint32_t i = 0; i < buttons; ++i) s.buttons.push_back(static_cast<std::int32_t>(i) + 1);
    for (std::uint32_t i = 0; i < valuators; ++i) s.valuators.push_back(0.25F * static_cast<float>(i) - 0.5F);
    return s;
}

// A recording replayed: the shared reader, with what the simulator's segments need of it (counts that fit
// them and stay those of the first frame).
class Recording {
public:
    // `rewindable` asks for a file that can go back to its start, as --loop needs.
    Recording(const std::string& path, bool rewindable) : reader_(path, rewindable, "trackd-sim") {
        if (!reader_.next(first_)) throw std::runtime_error(path + ": the recording holds no frames");
        if (first_.sensors.empty() || first_.sensors.size() > MAX_SENSORS || first_.buttons.size() > MAX_CONTROLS ||
            first_.valuators.size() > MAX_CONTROLS)
            throw reader_.error("the numbers of sensors, buttons or valuators are beyond what trackd-sim holds (1 to " +
                                std::to_string(MAX_SENSORS) + " sensors, up to " + std::to_string(MAX_CONTROLS) +
                                " buttons and valuators)");
        afterFirst_ = reader_.mark();
    }

    const Snapshot& first() const { return first_; }
    const std::vector<std::string>& sensorNames() const { return reader_.sensorNames(); }

    // The next frame, or nothing at the end; throws naming the line that is wrong.
    std::optional<Snapshot> next() {
        Snapshot frame;
        if (!reader_.next(frame)) return std::nullopt;
        if (frame.sensors.size() != first_.sensors.size() || frame.buttons.size() != first_.buttons.size() ||
            frame.valuators.size() != first_.valuators.size())
            throw reader_.error("the numbers of sensors, buttons or valuators differ from the first frame's");
        return frame;
    }

    // Goes back to the frame after the first; only for a recording made rewindable.
    void rewind() { reader_.restore(afterFirst_); }

private:
    RecordingReader reader_;
    Snapshot first_;
    RecordingReader::Mark afterFirst_;
};

bool sleepUntil(Clock::time_point when, Clock::time_point end) {
    while (stopSignal == 0) {
        const auto now = Clock::now();
        if (now >= end) return false;
        if (now >= when) return true;
        MonotonicClock::sleepUntil(MonotonicClock::at(std::min({when, end, now + std::chrono::milliseconds(50)})));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-sim: plays trackd's part. Creates the tracker and controller segments, keeps them updated\n"
        "until a signal or --duration, then removes both. By default sensor 0 is a swaying head and\n"
        "sensor 1 a hand that circles and turns; buttons toggle and valuators sweep."};
    addVersion(app, "trackd-sim");
    int trackerKey = DEFAULT_TRACKER_KEY;
    int controllerKey = DEFAULT_CONTROLLER_KEY;
    std::uint32_t sensors = 3, buttons = 4, valuators = 2;
    double rate = 60, duration = 0, speed = 1, jitter = 0;
    bool still = false, loop = false, hold = false, replace = false, pattern = false;
    std::string play;
    int mode = 0660;
    addKeyOption(app, "--tracker-key", trackerKey, "System V key of the tracker segment");
    addKeyOption(app, "--controller-key", controllerKey, "System V key of the controller segment");
    app.add_option("--sensors", sensors, "number of sensors")
        ->check(CLI::Range(1U, MAX_SENSORS))
        ->capture_default_str();
    app.add_option("--buttons", buttons, "number of buttons")
        ->check(CLI::Range(0U, MAX_CONTROLS))
        ->capture_default_str();
    app.add_option("--valuators", valuators, "number of valuators")
        ->check(CLI::Range(0U, MAX_CONTROLS))
        ->capture_default_str();
    app.add_option("--rate", rate, "updates per second")->check(finiteRange(0.1, 100000))->capture_default_str();
    app.add_option("--jitter", jitter,
                   "move each update by up to this many microseconds either way, at random, as a real tracker's\n"
                   "timing wavers (less than half the period between updates)")
        ->check(finiteRange(0, 1e6))
        ->capture_default_str();
    app.add_flag("--static", still,
                 "write one fixed pose and keep it: sensor i at (0.5+i, 1.25+i, -2-i) with angles X, Y, Z of\n"
                 "(10+15i, 20+10i, 30+5i) degrees, button i = i+1, valuator i = 0.25i-0.5");
    app.add_flag("--pattern", pattern,
                 "write values from which a reader can check every word: with k = frame mod 100, sensor s's\n"
                 "position component c is 1000s+100c+k, its angles X, Y, Z are 2k, k, 3k; button b is\n"
                 "1000b+k, valuator v is 1000v+k")
        ->excludes("--static");
    auto* playOption = app.add_option("--play", play, "replay a recording made by trackd-monitor --record, then stop")
                           ->type_name("FILE");
    app.add_flag("--loop", loop, "with --play, start again at the end")->needs(playOption);
    app.add_flag("--hold", hold, "with --play, keep the last frame in place at the end")
        ->needs(playOption)
        ->excludes("--loop");
    app.add_option("--speed", speed, "with --play, play this many times faster (0.5: half as fast)")
        ->check(finiteRange(0.001, 1000))
        ->needs(playOption)
        ->capture_default_str();
    app.add_flag("--replace", replace, "remove segments that already exist under the keys");
    app.add_option("--duration", duration, "stop after this many seconds (default: run until stopped)")
        ->check(clockSeconds());
    addModeOption(app, mode,
                  "permission bits of the segments, in octal (default 0660: trackd's owner and group; readers\n"
                  "attach read-write, so they need write permission: put them in the segments' group)");
    playOption->excludes(app.get_option("--static"))->excludes(app.get_option("--pattern"));
    app.parse_complete_callback([&] {
        checkDistinctKeys(trackerKey, controllerKey);
        if (jitter * 1e-6 >= 0.5 / rate)
            throw CLI::ValidationError("--jitter", "must be less than half the period between updates (" +
                                                       shortNumber(0.5e6 / rate) + " us at --rate " +
                                                       shortNumber(rate) + ")");
    });
    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    if (const std::string warning = modeWarning(mode); !warning.empty()) std::cerr << "trackd-sim: " << warning << '\n';

    try {
        std::optional<Recording> recording;
        if (!play.empty()) {
            recording.emplace(play, loop);
            sensors = static_cast<std::uint32_t>(recording->first().sensors.size());
            buttons = static_cast<std::uint32_t>(recording->first().buttons.size());
            valuators = static_cast<std::uint32_t>(recording->first().valuators.size());
        }
        for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);  // each removes both segments
        const MonotonicClock preciseSleeps;                                   // updates on time, as a tracker's,
        raiseToRealtime();  // also on a busy machine where allowed (as trackd often runs)
        bool ended = false;
        {  // the segments live until this block ends
            SimSegment tracker("tracker", trackerKey, trackerSize(sensors), mode, replace);
            SimSegment controller("controller", controllerKey, controllerSize(buttons, valuators), mode, replace);
            Simulator simulator(tracker, controller, sensors, buttons, valuators);
            // Readers that start when the banner appears find the first frame already in place.
            simulator.write(still       ? staticPose(sensors, buttons, valuators)
                            : recording ? recording->first()
                            : pattern   ? checkable(0, sensors, buttons, valuators)
                                        : motion(0, sensors, buttons, valuators));
            char pace[64];
            std::snprintf(pace, sizeof pace, "%g Hz", rate);
            std::printf(
                "trackd-sim: tracker key %s: id %d, %u bytes, %u sensors; controller key %s: id %d, %u bytes, "
                "%u buttons, %u valuators; mode %04o, %s; Ctrl-C stops and removes both\n",
                keyText(trackerKey).c_str(), tracker.id(), tracker.size(), sensors, keyText(controllerKey).c_str(),
                controller.id(), controller.size(), buttons, valuators, static_cast<unsigned>(mode),
                still       ? "static pose"
                : recording ? ("replaying " + play).c_str()
                            : pace);
            // The segments have no room for names: the recording's are passed on to those who read them.
            if (recording && !recording->sensorNames().empty())
                std::printf(
                    "trackd-sim: the recording names its sensors: --names %s shows them in trackd-monitor "
                    "and trackd-viewer\n",
                    joinedNames(recording->sensorNames()).c_str());
            std::fflush(stdout);

            const auto start = Clock::now();
            const auto end = duration > 0 ? start + clockDuration(duration) : Clock::time_point::max();
            const auto at = [&](double seconds) { return start + clockDuration(seconds); };
            if (recording) {
                // A loop starts again one update period after the recording's last frame.
                const double firstTime = recording->first().time;
                double offset = 0;
                double lastTime = firstTime;
                for (bool running = true; running;) {
                    std::optional<Snapshot> frame = recording->next();
                    if (!frame) {
                        if (!loop) {
                            ended = !hold;
                            break;
                        }
                        recording->rewind();
                        offset += lastTime - firstTime + 1.0 / rate;
                        running = sleepUntil(at(offset / speed), end);
                        if (running) simulator.write(recording->first());
                        continue;
                    }
                    lastTime = frame->time;
                    running = sleepUntil(at((offset + frame->time - firstTime) / speed), end);
                    if (running) simulator.write(*frame);
                }
            } else if (!still) {
                // Like a tracker, each update comes at its tick, moved by up to --jitter; one that fell behind
                // (on a loaded machine) writes the present and leaves out the ticks it missed, never a burst.
                // --pattern numbers the updates written, so that a reader can tell one it missed.
                std::mt19937 random(std::random_device{}());
                std::uniform_real_distribution<double> shift(-jitter * 1e-6, jitter * 1e-6);
                long long written = 0;
                for (long long tick = 1;; ++tick) {
                    if (!sleepUntil(at(static_cast<double>(tick) / rate + (jitter > 0 ? shift(random) : 0)), end))
                        break;
                    // The ticks already past are left out, and the next one too when it is less than half a
                    // period away: updates never come closer together than a tracker's would.
                    const double late =
                        std::chrono::duration<double>(Clock::now() - at(static_cast<double>(tick) / rate)).count();
                    tick += std::llround(late * rate);
                    ++written;
                    simulator.write(pattern ? checkable(written, sensors, buttons, valuators)
                                            : motion(static_cast<double>(tick) / rate, sensors, buttons, valuators));
                }
            }
            if (ended) std::printf("trackd-sim: the recording %s ended\n", play.c_str());
            // A static pose, or the last frame of a held recording, stays in place until the end.
            while (!ended && sleepUntil(end, end)) {
            }
        }
        std::printf("trackd-sim: removed both segments\n");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "trackd-sim: " << e.what() << '\n';
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
