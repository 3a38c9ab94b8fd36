// trackd-sim: plays trackd's part, creating the tracker and controller segments and keeping them updated.
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <termios.h>
#include <unistd.h>

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
#include "driving.h"
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
constexpr std::uint32_t MAX_SENSORS = MOST_SENSORS;  // the segments hold what a recording may hold
constexpr std::uint32_t MAX_CONTROLS = MOST_CONTROLS;

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

// The terminal in raw mode while the terminal face reads keys, given back as it was found on every exit.
// Ctrl-C and the other signal keys still stop the simulator; Ctrl-Z is off, as a stopped process would
// leave the terminal raw. Output keeps its line endings.
class RawTerminal {
public:
    RawTerminal() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) throw std::runtime_error("cannot read the terminal's settings");
        termios raw = saved_;
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
        raw.c_cc[VSUSP] = _POSIX_VDISABLE;
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) throw std::runtime_error("cannot set the terminal's mode");
    }
    ~RawTerminal() { tcsetattr(STDIN_FILENO, TCSANOW, &saved_); }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    termios saved_{};
};

constexpr auto LONE_ESCAPE_WAIT = std::chrono::milliseconds(100);  // the rest of a sequence comes within it

std::string number(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value + 0.0);  // + 0.0: -0 shows as 0
    return text;
}

// The terminal face's one screen: the banner, the key map and the driven values, redrawn from the top.
std::string driveScreen(const std::string& banner, const Driver& driver, const std::string& record) {
    const Snapshot& s = driver.state();
    const DriveSteps& steps = driver.steps();
    const SensorState& sensor = s.sensors[driver.selected()];
    std::string text = "\x1b[H" + banner + "\x1b[K\n";
    text += "Driving by hand: a key moves by " + shortNumber(steps.move) + " units, turns by " +
            shortNumber(steps.turn) + " degrees, pushes a valuator by " + shortNumber(steps.valuator) + "\x1b[K\n";
    for (const char* line : {
             "  left right    move along X (- +)        up down    along Z (- +: up goes away)",
             "  PgUp PgDn     raise, lower (Y + -)      Tab Shift-Tab  next, previous sensor; 0-9 select one",
             "  i k           turn about X (+ -)        j l    about Y (+ -)        u o    about Z (+ -)",
             "  space         toggle button 0           z x c v b n m    toggle buttons 1 to 7",
             "  /             next valuator             - +    lower, raise it (= raises too; within -1 to 1)",
             "  r             reset the sensor to its start pose                q      quit, removing the segments",
         })
        text += std::string(line) + "\x1b[K\n";
    text += "\x1b[K\n";
    text += "sensor " + std::to_string(driver.selected()) + " of " + std::to_string(s.sensors.size()) +
            (driver.selected() == 0   ? " (head)"
             : driver.selected() == 1 ? " (wand)"
                                      : "") +
            ": position" + number(sensor.position[0], " %.4f") + number(sensor.position[1], " %.4f") +
            number(sensor.position[2], " %.4f") + "  angles X" + number(sensor.angles[0], " %.1f") + " Y" +
            number(sensor.angles[1], " %.1f") + " Z" + number(sensor.angles[2], " %.1f") + "\x1b[K\n";
    text += "buttons";
    constexpr std::size_t SHOWN = 16;
    for (std::size_t i = 0; i < s.buttons.size() && i < SHOWN; ++i) text += " " + std::to_string(s.buttons[i]);
    if (s.buttons.size() > SHOWN) text += " ...";
    if (s.buttons.empty()) text += " none";
    text += "   valuators";
    for (std::size_t i = 0; i < s.valuators.size() && i < SHOWN; ++i)
        text += std::string(i == driver.selectedValuator() ? " >" : " ") + number(s.valuators[i], "%.3f");
    if (s.valuators.size() > SHOWN) text += " ...";
    if (s.valuators.empty()) text += " none";
    text += "\x1b[K\n";
    if (!record.empty()) text += "recording to " + printable(record) + "\x1b[K\n";
    return text + "\x1b[J";
}

// What the driving faces need besides the segments: where input comes from and where a recording goes.
struct DriveSettings {
    bool commands = false;  // JSON lines on standard input instead of a terminal's keys
    double rate = 60;
    double duration = 0;
    std::string record;
    bool overwrite = false;
    std::FILE* recording = nullptr;  // open on `record`; closed by runDriven
    std::string banner;
};

// Writes the driven values at the update rate, as a tracker writes, until q, the end of the input, a
// signal or the duration; each change also goes to the recording, timed from the start.
void runDriven(Simulator& simulator, Driver& driver, const DriveSettings& settings) {
    std::FILE* recording = settings.recording;
    const auto start = Clock::now();
    const auto end = settings.duration > 0 ? start + clockDuration(settings.duration) : Clock::time_point::max();
    const auto since = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    const auto record = [&](const std::string& line) {
        if (recording == nullptr) return;
        if (std::fputs(line.c_str(), recording) < 0 || std::fputc('\n', recording) < 0 || std::fflush(recording) != 0)
            throw std::runtime_error("cannot write to " + settings.record + ": " + std::strerror(errno));
    };
    const auto snapshot = [&driver](double time) {
        Snapshot s = driver.state();
        s.time = time;
        return s;
    };
    struct Closer {
        std::FILE*& file;
        ~Closer() {
            if (file != nullptr) std::fclose(file);
        }
    } closer{recording};
    record(recordingHeader().dump());
    record(toJson(snapshot(0)).dump());

    std::optional<RawTerminal> terminal;
    if (!settings.commands) terminal.emplace();
    const auto draw = [&] {
        if (!terminal) return;
        const std::string screen = driveScreen(settings.banner, driver, settings.record);
        std::fputs(screen.c_str(), stdout);
        std::fflush(stdout);
    };
    if (terminal) std::fputs("\x1b[2J", stdout);
    draw();

    KeyDecoder decoder;
    std::string line;
    bool skipping = false;  // the rest of an overlong command line is dropped
    long long lineNumber = 0;
    auto pendingSince = Clock::time_point::max();
    long long tick = 0;
    for (bool running = true; running && stopSignal == 0;) {
        const auto now = Clock::now();
        if (now >= end) break;
        const auto due = start + clockDuration(static_cast<double>(tick + 1) / settings.rate);
        if (now >= due) {
            tick += 1 + static_cast<long long>(std::chrono::duration<double>(now - due).count() * settings.rate);
            simulator.write(snapshot(since()));
            continue;
        }
        if (decoder.pending() && now - pendingSince >= LONE_ESCAPE_WAIT) {
            decoder.drop();  // a lone Escape, or a sequence cut off: not a key
            pendingSince = Clock::time_point::max();
        }
        const auto wake = std::min({due, end, decoder.pending() ? pendingSince + LONE_ESCAPE_WAIT : due});
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::min<long long>(wait, 50))) <= 0) continue;
        char bytes[512];
        const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
        if (n <= 0) break;  // the input ended: the viewer closed, or the terminal hung up
        bool changed = false;
        if (terminal) {
            std::vector<Key> keys;
            decoder.feed(std::string_view(bytes, static_cast<std::size_t>(n)), keys);
            if (decoder.pending() && pendingSince == Clock::time_point::max()) pendingSince = Clock::now();
            if (!decoder.pending()) pendingSince = Clock::time_point::max();
            for (const Key& key : keys) {
                const Driver::Result result = driver.key(key);
                if (result == Driver::Result::quit) {
                    running = false;
                    break;
                }
                changed = changed || result == Driver::Result::changed;
            }
        } else {
            for (const char byte : std::string_view(bytes, static_cast<std::size_t>(n))) {
                if (byte != '\n') {
                    // One byte beyond the limit is kept when it is a CR: the CR of a CRLF ending, not counted.
                    if (!skipping &&
                        (line.size() < LONGEST_COMMAND || (line.size() == LONGEST_COMMAND && byte == '\r')))
                        line += byte;
                    else if (!skipping) {
                        std::cerr << "trackd-sim: command line " << lineNumber + 1 << " is longer than "
                                  << LONGEST_COMMAND << " bytes; ignored\n";
                        skipping = true;
                    }
                    continue;
                }
                ++lineNumber;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!skipping && line.find_first_not_of(" \t") != std::string::npos) {
                    try {
                        driver.command(line);
                        changed = true;
                    } catch (const std::invalid_argument& e) {
                        std::cerr << "trackd-sim: command line " << lineNumber << ": " << printable(e.what())
                                  << "; ignored\n";
                    }
                }
                line.clear();
                skipping = false;
            }
        }
        if (changed) {
            const double time = since();
            simulator.write(snapshot(time));  // at once, not at the next tick: a press is never missed
            record(toJson(snapshot(time)).dump());
            draw();
        }
    }
    if (terminal) std::fputs("\n", stdout);
    if (recording != nullptr) {
        std::FILE* file = recording;
        recording = nullptr;
        if (std::fclose(file) != 0)
            throw std::runtime_error("cannot write to " + settings.record + ": " + std::strerror(errno));
    }
}

// Adds an option that takes a point as X,Y,Z: three finite numbers separated by commas.
CLI::Option* addPointOption(CLI::App& app, const std::string& name, std::array<float, 3>& point,
                            const std::string& what) {
    return app
        .add_option_function<std::string>(
            name,
            [&point, name](const std::string& text) {
                std::array<float, 3> read{};
                std::size_t from = 0;
                for (std::size_t i = 0; i < 3; ++i) {
                    const std::size_t comma = i < 2 ? text.find(',', from) : text.size();
                    const std::string part = comma == std::string::npos ? "" : text.substr(from, comma - from);
                    char* end = nullptr;
                    read[i] = std::strtof(part.c_str(), &end);
                    if (part.empty() || *end != '\0' || !std::isfinite(read[i]) || std::fabs(read[i]) > 1e6F)
                        throw CLI::ValidationError(name, "'" + text +
                                                             "' is not X,Y,Z: three numbers from -1e6 to 1e6 "
                                                             "separated by commas, such as 0,1.7,0");
                    from = comma + 1;
                }
                point = read;
            },
            what)
        ->type_name("X,Y,Z");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "trackd-sim: plays trackd's part. Creates the tracker and controller segments, keeps them updated\n"
        "until a signal or --duration, then removes both. By default sensor 0 is a swaying head and\n"
        "sensor 1 a hand that circles and turns; buttons toggle and valuators sweep. With --interactive a\n"
        "person decides the values instead, from a terminal's keys or a program's commands (below)."};
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

    const std::string driving = "Driving by hand";
    bool interactive = false;
    std::array<float, 3> head = DEFAULT_HEAD;
    std::array<float, 3> wand = DEFAULT_WAND;
    DriveSteps steps;
    DriveSettings drive;
    auto* interactiveOption =
        app.add_flag("--interactive", interactive,
                     "write the values that a person gives instead of a motion. In a terminal, keys move and\n"
                     "turn the selected sensor, press buttons and push valuators, under a key map:\n"
                     "  left right: move along X (- +)     up down: along Z (- +; up goes away)\n"
                     "  PgUp PgDn: raise, lower (Y + -)    Tab, Shift-Tab: next, previous sensor; 0-9 select one\n"
                     "  i k: turn about X (+ -)            j l: about Y (+ -)     u o: about Z (+ -)\n"
                     "  space: toggle button 0             z x c v b n m: toggle buttons 1 to 7\n"
                     "  /: select the next valuator        - +: lower, raise it (= raises too), within -1 to 1\n"
                     "  r: reset the sensor to its start pose   q: quit, removing the segments\n"
                     "Angles wrap within -180 to 180 degrees. trackd-viewer --drive drives it from a window.")
            ->group(driving);
    app.add_flag("--commands", drive.commands,
                 "with --interactive, read JSON commands from standard input instead of keys, one object a\n"
                 "line (up to 4096 bytes), until the input ends; a wrong line is reported and ignored:\n"
                 "  {\"sensor\":1,\"position\":[X,Y,Z],\"angles\":[X,Y,Z]}  set a pose (either part)\n"
                 "  {\"sensor\":1,\"move\":[DX,DY,DZ],\"turn\":[DX,DY,DZ]}  move, turn by (either part)\n"
                 "  {\"button\":0,\"value\":1}   {\"valuator\":0,\"value\":0.5}   {\"valuator\":0,\"steps\":-1}\n"
                 "  {\"reset\":1}  put sensor 1 back at its start pose")
        ->needs(interactiveOption)
        ->group(driving);
    addPointOption(app, "--head", head, "start position of sensor 0, the head (default 0,1.7,0: eye height)")
        ->group(driving);
    addPointOption(app, "--wand", wand,
                   "start position of sensor 1, the wand (default 0,1.3,-0.3: in front of the head, 0.4\n"
                   "below it); further sensors start in a row to its right, 0.25 apart")
        ->group(driving);
    app.add_option("--step", steps.move, "distance one key moves a sensor, in the installation's units")
        ->check(finiteRange(0.0001, 100))
        ->capture_default_str()
        ->group(driving);
    app.add_option("--turn-step", steps.turn, "degrees one key turns a sensor")
        ->check(finiteRange(0.01, 180))
        ->capture_default_str()
        ->group(driving);
    app.add_option("--valuator-step", steps.valuator, "how far one key pushes a valuator")
        ->check(finiteRange(0.001, 2))
        ->capture_default_str()
        ->group(driving);
    auto* recordOption = app.add_option("--record", drive.record,
                                        "with --interactive, write each change to FILE as trackd-monitor --record\n"
                                        "does, for trackd-sim --play")
                             ->type_name("FILE")
                             ->needs(interactiveOption)
                             ->group(driving);
    app.add_flag("--overwrite", drive.overwrite, "with --record, replace FILE if it exists")
        ->needs(recordOption)
        ->group(driving);
    interactiveOption->excludes(playOption)
        ->excludes(app.get_option("--static"))
        ->excludes(app.get_option("--pattern"));
    for (const char* name : {"--head", "--wand", "--step", "--turn-step", "--valuator-step"})
        app.get_option(name)->needs(interactiveOption);
    app.parse_complete_callback([&] {
        checkDistinctKeys(trackerKey, controllerKey);
        if (jitter * 1e-6 >= 0.5 / rate)
            throw CLI::ValidationError("--jitter", "must be less than half the period between updates (" +
                                                       shortNumber(0.5e6 / rate) + " us at --rate " +
                                                       shortNumber(rate) + ")");
    });
    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    if (interactive && !drive.commands && isatty(STDIN_FILENO) == 0) {
        std::cerr << "trackd-sim: --interactive reads keys from a terminal, and standard input is not one "
                     "(programs send commands with --commands)\n";
        return EXIT_BAD_USAGE;
    }
    if (const std::string warning = modeWarning(mode); !warning.empty()) std::cerr << "trackd-sim: " << warning << '\n';

    try {
        std::optional<Recording> recording;
        if (!play.empty()) {
            recording.emplace(play, loop);
            sensors = static_cast<std::uint32_t>(recording->first().sensors.size());
            buttons = static_cast<std::uint32_t>(recording->first().buttons.size());
            valuators = static_cast<std::uint32_t>(recording->first().valuators.size());
        }
        // A recording that cannot be written is found out before the segments appear.
        if (!drive.record.empty()) drive.recording = openRecordingFile(drive.record, drive.overwrite);
        for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);  // each removes both segments
        const MonotonicClock preciseSleeps;                                   // updates on time, as a tracker's,
        raiseToRealtime();  // also on a busy machine where allowed (as trackd often runs)
        bool ended = false;
        {  // the segments live until this block ends
            SimSegment tracker("tracker", trackerKey, trackerSize(sensors), mode, replace);
            SimSegment controller("controller", controllerKey, controllerSize(buttons, valuators), mode, replace);
            Simulator simulator(tracker, controller, sensors, buttons, valuators);
            // Readers that start when the banner appears find the first frame already in place.
            std::optional<Driver> driver;
            if (interactive) driver.emplace(startPoses(sensors, head, wand), buttons, valuators, steps);
            simulator.write(driver      ? driver->state()
                            : still     ? staticPose(sensors, buttons, valuators)
                            : recording ? recording->first()
                            : pattern   ? checkable(0, sensors, buttons, valuators)
                                        : motion(0, sensors, buttons, valuators));
            char pace[64];
            std::snprintf(pace, sizeof pace, "%g Hz", rate);
            char banner[512];
            std::snprintf(
                banner, sizeof banner,
                "trackd-sim: tracker key %s: id %d, %u bytes, %u sensors; controller key %s: id %d, %u bytes, "
                "%u buttons, %u valuators; mode %04o, %s; Ctrl-C stops and removes both",
                keyText(trackerKey).c_str(), tracker.id(), tracker.size(), sensors, keyText(controllerKey).c_str(),
                controller.id(), controller.size(), buttons, valuators, static_cast<unsigned>(mode),
                driver      ? (drive.commands ? "driven by commands" : "driven by hand")
                : still     ? "static pose"
                : recording ? ("replaying " + printable(play)).c_str()
                            : pace);
            std::printf("%s\n", banner);
            // The segments have no room for names: the recording's are passed on to those who read them.
            if (recording && !recording->sensorNames().empty())
                std::printf(
                    "trackd-sim: the recording names its sensors: --names %s shows them in trackd-monitor "
                    "and trackd-viewer\n",
                    printable(joinedNames(recording->sensorNames())).c_str());
            std::fflush(stdout);

            const auto start = Clock::now();
            const auto end = duration > 0 ? start + clockDuration(duration) : Clock::time_point::max();
            const auto at = [&](double seconds) { return start + clockDuration(seconds); };
            if (driver) {
                drive.rate = rate;
                drive.duration = duration;
                drive.banner = banner;
                runDriven(simulator, *driver, drive);
            } else if (recording) {
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
            if (ended) std::printf("trackd-sim: the recording %s ended\n", printable(play).c_str());
            // A static pose, or the last frame of a held recording, stays in place until the end.
            while (!ended && !driver && sleepUntil(end, end)) {
            }
        }
        std::printf("trackd-sim: removed both segments\n");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "trackd-sim: " << printable(e.what()) << '\n';  // its messages quote file names
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
