// What the tools' tests share: the programs under test and how they are started, the keys of a test's
// segments, and the harness classes that run a simulator, a tool on a terminal of its own or a simulator
// driven by commands, and read what the segments hold.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <pty.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "driving.h"
#include "options.h"
#include "process.h"
#include "segment.h"
#include "zoravoVAR.h"

using namespace testing_segments;
using nlohmann::json;
using testing_processes::Process;
using trackd_tools::keyText;

// Internal to each test file, as the tests themselves are.
namespace {

inline const std::string SIM = TRACKD_SIM;
inline const std::string MONITOR = TRACKD_MONITOR;
inline constexpr const char* EMULATOR = TOOLS_EMULATOR;  // empty unless the build runs its programs through one

struct Keys {
    int tracker = unusedKey();
    int controller = unusedKey();
    std::vector<std::string> args() const {
        return {"--tracker-key", std::to_string(tracker), "--controller-key", std::to_string(controller)};
    }
};

// A tool's command line, led by the emulator when the build runs its programs through one.
inline std::vector<std::string> invocation(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (*EMULATOR != '\0') argv.emplace_back(EMULATOR);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

inline std::vector<std::string> command(const std::string& program, const Keys& keys, std::vector<std::string> more) {
    std::vector<std::string> args = keys.args();
    args.insert(args.end(), more.begin(), more.end());
    return invocation(program, args);
}

inline bool segmentExists(int key) { return shmget(key, 0, 0) >= 0; }

// A simulator running in the background for one test, stopped with SIGTERM at the end.
class RunningSim {
public:
    RunningSim(const Keys& keys, std::vector<std::string> more) : process(command(SIM, keys, std::move(more))) {
        banner = process.firstLine();
        EXPECT_NE(banner.find("trackd-sim: tracker key"), std::string::npos) << process.err;
    }
    ~RunningSim() { stop(); }
    int stop(int signal = SIGTERM) {
        if (!stopped_) {
            process.signal(signal);
            exitCode_ = process.wait();
            stopped_ = true;
        }
        return exitCode_;
    }
    Process process;
    std::string banner;

private:
    bool stopped_ = false;
    int exitCode_ = -1;
};

inline json monitorOnce(const Keys& keys, std::vector<std::string> more = {}, const std::string& sampleSeconds = "0") {
    std::vector<std::string> args{"--once", "--json", "--sample", sampleSeconds};
    args.insert(args.end(), more.begin(), more.end());
    Process monitor(command(MONITOR, keys, args));
    EXPECT_EQ(monitor.wait(), 0) << monitor.err;
    return json::parse(monitor.out);
}

inline std::uint32_t bits(const json& number) { return std::bit_cast<std::uint32_t>(number.get<float>()); }

// The k of --pattern in a recorded line: one for the sensors, one for the controls, or -1 when a
// segment's words disagree, which means the line mixes two updates.
inline std::pair<int, int> patternFrame(const json& line) {
    const auto k = [](const json& value, int base) { return static_cast<int>(value.get<double>()) - base; };
    int sensorsK = k(line["sensors"][0]["position"][0], 0);
    for (int s = 0; s < static_cast<int>(line["sensors"].size()); ++s)
        for (int c = 0; c < 3; ++c)
            if (k(line["sensors"][s]["position"][c], 1000 * s + 100 * c) != sensorsK) sensorsK = -1;
    int controlsK = line["buttons"][0].get<int>();
    for (int b = 0; b < static_cast<int>(line["buttons"].size()); ++b)
        if (line["buttons"][b].get<int>() - 1000 * b != controlsK) controlsK = -1;
    for (int v = 0; v < static_cast<int>(line["valuators"].size()); ++v)
        if (k(line["valuators"][v], 1000 * v) != controlsK) controlsK = -1;
    return {sensorsK, controlsK};
}

// A tool's command line; the viewer is a launcher script, which no emulator runs.
inline std::vector<std::string> toolCommand(const std::string& tool, const std::vector<std::string>& args) {
    if (tool.ends_with("/trackd-viewer")) {
        std::vector<std::string> argv{tool};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    return invocation(tool, args);
}

// A tool on a pseudo-terminal of its own, as a person at a terminal runs it.
class OnTerminal {
public:
    explicit OnTerminal(const std::vector<std::string>& argv) {
        child_ = forkpty(&terminal_, nullptr, nullptr, nullptr);
        if (child_ < 0) throw std::runtime_error("forkpty failed");
        if (child_ == 0) {
            std::vector<char*> args;
            args.reserve(argv.size() + 1);
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~OnTerminal() {
        if (status_ == -1) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        close(terminal_);
    }
    OnTerminal(const OnTerminal&) = delete;
    OnTerminal& operator=(const OnTerminal&) = delete;

    // Reads the screen until it shows `text`; false after 10 s.
    bool shows(const std::string& text) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end)
            if (readScreen(100)) break;
        return screen.find(text) != std::string::npos;
    }
    void signal(int number) const { kill(child_, number); }
    void type(const std::string& keys) const {
        ASSERT_EQ(write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // The exit status once it has ended, or -1 after 30 s.
    int wait() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (status_ == -1 && std::chrono::steady_clock::now() < end) {
            // Once the tool has closed the terminal, it may take a moment to become a child that can be awaited.
            if (readScreen(100)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            int status = 0;
            if (waitpid(child_, &status, WNOHANG) == child_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        }
        return status_;
    }
    // The terminal's mode, as the tool left it.
    termios mode() const {
        termios now{};
        tcgetattr(terminal_, &now);
        return now;
    }

    std::string screen;

private:
    // Waits up to `milliseconds` for output, then reads all there is: a tool that fills the terminal's
    // buffer would wait for it to be read before it reads a key. True once the tool has closed the terminal.
    bool readScreen(int milliseconds) {
        pollfd ready{terminal_, POLLIN, 0};
        char buffer[4096];
        for (int wait = milliseconds; poll(&ready, 1, wait) == 1; wait = 0) {
            const ssize_t n = read(terminal_, buffer, sizeof buffer);
            if (n <= 0) return true;
            screen.append(buffer, static_cast<std::size_t>(n));
        }
        return false;
    }

    int terminal_ = -1;
    pid_t child_ = -1;
    int status_ = -1;
};

// What the segments hold, read through the library.
struct Driven {
    std::vector<std::array<float, 6>> sensors;  // position, then angles X, Y, Z
    std::vector<std::int32_t> buttons;
    std::vector<float> valuators;
    bool operator==(const Driven& other) const {
        const auto same = [](const auto& a, const auto& b) {
            return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
        };
        return same(sensors, other.sensors) && same(buttons, other.buttons) && same(valuators, other.valuators);
    }
};

inline std::ostream& operator<<(std::ostream& out, const Driven& d) {
    for (const auto& s : d.sensors) {
        out << "sensor";
        for (float v : s) out << ' ' << v;
        out << "; ";
    }
    out << "buttons";
    for (auto b : d.buttons) out << ' ' << b;
    out << "; valuators";
    for (float v : d.valuators) out << ' ' << v;
    return out;
}

inline Driven readDriven(const Keys& keys) {
    void* tracker = trackdInitTrackerReader(keys.tracker);
    void* controller = trackdInitControllerReader(keys.controller);
    Driven d;
    if (tracker == nullptr || controller == nullptr) return d;
    for (int i = 0; i < trackdGetNumberOfSensors(tracker); ++i) {
        std::array<float, 6> s{};
        trackdGetPosition(tracker, i, s.data());
        trackdGetEulerAngles(tracker, i, s.data() + 3);
        d.sensors.push_back(s);
    }
    for (int i = 0; i < trackdGetNumberOfButtons(controller); ++i) d.buttons.push_back(trackdGetButton(controller, i));
    for (int i = 0; i < trackdGetNumberOfValuators(controller); ++i)
        d.valuators.push_back(trackdGetValuator(controller, i));
    shmdt(tracker);
    shmdt(controller);
    return d;
}

// Reads the segments until they hold `expected`, for up to 10 s; returns what they held last.
inline Driven eventually(const Keys& keys, const Driven& expected) {
    Driven seen;
    for (int i = 0; i < 200 && !((seen = readDriven(keys)) == expected); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return seen;
}

// trackd-sim --interactive --commands reading the lines written into a pipe.
class CommandedSim {
public:
    CommandedSim(const Keys& keys, std::vector<std::string> more) {
        if (pipe(in_) != 0) throw std::runtime_error("pipe failed");
        more.insert(more.begin(), {"--interactive", "--commands"});
        const int readEnd = in_[0];
        const int writeEnd = in_[1];
        process.emplace(command(SIM, keys, more), [readEnd, writeEnd] {
            dup2(readEnd, STDIN_FILENO);
            close(readEnd);
            close(writeEnd);
        });
        close(in_[0]);
        banner = process->firstLine();
    }
    ~CommandedSim() { end(); }
    CommandedSim(const CommandedSim&) = delete;
    CommandedSim& operator=(const CommandedSim&) = delete;

    void send(const std::string& lines) const {
        ASSERT_EQ(write(in_[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    }
    // Closes the input, as a viewer that closes does; returns the exit status.
    int end() {
        if (in_[1] >= 0) {
            close(in_[1]);
            in_[1] = -1;
            status_ = process->wait();
        }
        return status_;
    }

    std::optional<Process> process;
    std::string banner;

private:
    int in_[2] = {-1, -1};
    int status_ = -1;
};

// Text a terminal would obey (ESC, BEL, CR): no byte below 0x20 but the newline ends a line.
inline bool printableOnly(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n'; });
}

}  // namespace
