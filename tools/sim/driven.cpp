// trackd-sim --interactive: the screen and the loop that reads keys or commands.
#include "driven.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "options.h"
#include "pacing.h"
#include "printable.h"
#include "terminal.h"

namespace trackd_sim {

using namespace trackd_tools;

namespace {

constexpr auto LONE_ESCAPE_WAIT = std::chrono::milliseconds(100);  // the rest of a sequence comes within it

std::string number(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value + 0.0);  // + 0.0: -0 shows as 0
    return text;
}

}  // namespace

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
        // To the nanosecond, not poll's milliseconds: each write comes at its tick, as the moving simulator's,
        // so that a reader locks onto the rhythm as closely.
        const auto wait = std::min<Clock::duration>(wake - now, std::chrono::milliseconds(50));
        const auto ns = std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
        const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        if (ppoll(&ready, 1, &timeout, nullptr) <= 0) continue;
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

}  // namespace trackd_sim
