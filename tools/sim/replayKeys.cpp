// trackd-sim's interactive replay: an index of the frames' places in the file, and a clock that keys move.
#include "replayKeys.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "driving.h"
#include "options.h"
#include "recording.h"
#include "terminal.h"

namespace trackd_sim {

using namespace trackd_tools;

namespace {

constexpr double SEEK_SECONDS = 10;
constexpr double SLOWEST = 0.001, FASTEST = 1000;  // as --speed allows
constexpr auto LONE_ESCAPE_WAIT = std::chrono::milliseconds(100);

struct Place {
    double time;
    RecordingReader::Mark mark;  // before the frame's line (and any markers before it)
};

}  // namespace

void playInteractively(Simulator& simulator, const std::string& path, double from, double to, double speed,
                       Clock::time_point end) {
    RecordingReader reader(path, true, "trackd-sim");
    std::vector<Place> places;
    Snapshot frame, first;
    // The frame in place at `from` comes first: the last one at or before it.
    for (RecordingReader::Mark before = reader.mark(); reader.next(frame); before = reader.mark()) {
        if (frame.time > to) break;
        if (places.empty()) first = frame;
        if (frame.time <= from && !places.empty()) places.clear();
        if (places.size() == MOST_INDEXED_FRAMES)
            throw reader.error("the part to play holds more than " + std::to_string(MOST_INDEXED_FRAMES) +
                               " frames, the most --interactive plays: --from and --to choose a part");
        places.push_back({frame.time, before});
    }
    if (places.empty()) throw std::runtime_error(path + ": the recording holds no frames from --from to --to");
    const auto show = [&](std::size_t i) {
        reader.restore(places[i].mark);
        if (!reader.next(frame)) throw reader.error("the recording changed while it played");
        if (frame.sensors.size() != first.sensors.size() || frame.buttons.size() != first.buttons.size() ||
            frame.valuators.size() != first.valuators.size())
            throw reader.error("the numbers of sensors, buttons or valuators differ from the first frame's");
        simulator.write(frame);
    };

    const RawTerminal terminal;
    std::size_t at = 0;
    bool paused = false;
    // Playing, frame `at` went in place at `shownAt`: the next is due its recorded gap later, at the speed.
    auto shownAt = Clock::now();
    const auto say = [&] {
        std::printf("trackd-sim: %.3f s, frame %zu of %zu, %s at %gx\n", places[at].time, at + 1, places.size(),
                    paused ? "paused" : "playing", speed);
        std::fflush(stdout);
    };
    const auto go = [&](std::size_t frameIndex) {
        at = frameIndex;
        show(at);
        shownAt = Clock::now();
    };
    go(0);
    say();
    KeyDecoder decoder;
    auto pendingSince = Clock::time_point::max();
    while (stopSignal == 0) {
        const auto now = Clock::now();
        if (now >= end) return;
        if (!paused && at + 1 < places.size()) {
            const auto due = shownAt + clockDuration((places[at + 1].time - places[at].time) / speed);
            if (now >= due) {
                at += 1;
                show(at);
                shownAt = due;  // on the recording's pace, not behind it by the time taken
                if (at + 1 == places.size()) {
                    paused = true;
                    say();
                }
                continue;
            }
        }
        if (decoder.pending() && now - pendingSince >= LONE_ESCAPE_WAIT) {
            decoder.drop();
            pendingSince = Clock::time_point::max();
        }
        auto wake = std::min(end, now + std::chrono::milliseconds(50));
        if (!paused && at + 1 < places.size())
            wake = std::min(wake, shownAt + clockDuration((places[at + 1].time - places[at].time) / speed));
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::max<long long>(wait, 0))) <= 0) continue;
        char bytes[256];
        const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
        if (n <= 0) return;  // the terminal hung up
        std::vector<Key> keys;
        decoder.feed(std::string_view(bytes, static_cast<std::size_t>(n)), keys);
        pendingSince = decoder.pending() ? std::min(pendingSince, Clock::now()) : Clock::time_point::max();
        for (const Key& key : keys) {
            const auto seek = [&](double seconds) {
                const double target = places[at].time + seconds;
                // The frame in place at the target: the last at or before it.
                const auto after = std::upper_bound(places.begin(), places.end(), target,
                                                    [](double t, const Place& p) { return t < p.time; });
                go(after == places.begin() ? 0 : static_cast<std::size_t>(after - places.begin()) - 1);
            };
            if (key.kind == Key::character && (key.value == 'q' || key.value == 'Q')) return;
            if (key.kind == Key::character && key.value == ' ') {
                paused = !paused;
                if (!paused && at + 1 == places.size()) go(0);  // at the end, space plays it again
                shownAt = Clock::now();
            } else if (key.kind == Key::right) {
                paused = true;
                go(std::min(at + 1, places.size() - 1));
            } else if (key.kind == Key::left) {
                paused = true;
                go(at == 0 ? 0 : at - 1);
            } else if (key.kind == Key::pageDown) {
                seek(SEEK_SECONDS);
            } else if (key.kind == Key::pageUp) {
                seek(-SEEK_SECONDS);
            } else if (key.kind == Key::character && (key.value == '+' || key.value == '=')) {
                speed = std::min(speed * 2, FASTEST);
                shownAt = Clock::now();
            } else if (key.kind == Key::character && key.value == '-') {
                speed = std::max(speed / 2, SLOWEST);
                shownAt = Clock::now();
            } else {
                continue;
            }
            say();
        }
    }
}

}  // namespace trackd_sim
