// trackd-monitor's run: both segments followed, looked at when the change watcher says, shown at --rate
// or recorded at every change, until q, a signal or the end.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "changeWatcher.h"
#include "keyReader.h"
#include "options.h"
#include "output.h"
#include "printable.h"
#include "reading.h"
#include "recording.h"
#include "rendering.h"
#include "segmentFollower.h"
#include "settings.h"
#include "trackdLayout.h"
#include "writerMarks.h"
#include "zoravoVAR.h"

namespace trackd_monitor {

using namespace trackd_tools;
using namespace trackd_layout;

namespace {

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

}  // namespace

int run(const Settings& settings, const Room& room) {
    SegmentFollower tracker("tracker", settings.trackerKey, TRACKER_SEGMENT_SIZE, trackdInitTrackerReader);
    SegmentFollower controller("controller", settings.controllerKey, CONTROLLER_SEGMENT_SIZE,
                               trackdInitControllerReader);
    const bool live = !settings.once && !settings.json && settings.record.empty() && isatty(STDOUT_FILENO) != 0;
    // SIGPIPE, though one of the tools' stop signals, is ignored: a closed pipe shows as a write error (status 1).
    for (const int signal : STOP_SIGNALS) std::signal(signal, signal == SIGPIPE ? SIG_IGN : onSignal);

    // Waiting, a missing segment is no failure yet: it is looked up quietly until it appears.
    auto now = Clock::now();
    std::string notice;
    const auto attachMissing = [&](bool quiet) {
        for (SegmentFollower* source : {&tracker, &controller}) {
            if (source->attached()) continue;
            const std::string hint = source->follow(now, quiet);
            if (!hint.empty()) std::cerr << hint << '\n';
        }
    };
    attachMissing(settings.wait);
    if (settings.wait && !(tracker.attached() && controller.attached())) {
        std::cerr << "trackd-monitor: waiting for";
        for (const SegmentFollower* s : {&tracker, &controller})
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
    bool first = true, sensorsChanged = false, controlsChanged = false, trackerWritten = false,
         controllerWritten = false;
    std::uint32_t trackerCount = 0, controllerCount = 0;  // the write counters, as last seen
    // One look: both segments in each read, so that a line holds what both held at one moment.
    const auto readBoth = [&](Snapshot& s) {
        readSensors(tracker, settings.maxSensors, s);
        readControls(controller, s);
    };
    // A write that changed only the header's first word: the writer is alive, its values unchanged. It
    // counts for the watcher, which learns the writer's rhythm from it, but is no change of the values.
    const auto counters = [&] {
        return std::pair(tracker.attached() ? loadWord(tracker.handle(), WRITE_COUNTER_AT) : 0U,
                         controller.attached() ? loadWord(controller.handle(), WRITE_COUNTER_AT) : 0U);
    };
    const auto counted = [&] {
        // The writer stores one counter after the other: read until both agree, so that one write is one change.
        auto [t, c] = counters();
        for (int attempt = 0; attempt < SETTLE_ATTEMPTS && (t != trackerCount || c != controllerCount); ++attempt) {
            const auto again = counters();
            if (again == std::pair(t, c)) break;
            std::tie(t, c) = again;
        }
        trackerWritten = t != trackerCount;
        controllerWritten = c != controllerCount;
        trackerCount = t;
        controllerCount = c;
        return !first && (trackerWritten || controllerWritten);
    };
    const auto look = [&] {
        ++looks;
        readBoth(fresh);
        sensorsChanged = controlsChanged = false;
        const bool written = counted();
        // A read equal to the last settled frame shows no change: a write under way shows at a later look.
        if (!first && sameSensors(fresh, current) && sameControls(fresh, current)) return written;
        const bool settled = settle(fresh, scratch, readBoth);
        fresh.time = seconds(Clock::now() - start);
        unsettled += settled ? 0 : 1;
        sensorsChanged = first || !sameSensors(fresh, current);
        controlsChanged = first || !sameControls(fresh, current);
        return written || sensorsChanged || controlsChanged;
    };
    for (now = start; stopSignal == 0 && !keys.quitPressed() && now < end; now = Clock::now()) {
        if (now >= nextLookup) {
            nextLookup = now + clockDuration(LOOKUP_PERIOD);
            for (SegmentFollower* source : {&tracker, &controller}) {
                const std::string said = source->follow(now, true);
                if (said.empty()) continue;
                watcher.restart();  // a segment made anew: its writer's rhythm is learnt afresh
                notice = "trackd-monitor: " + said;
                if (!live) std::cerr << notice << '\n';
            }
        }
        const bool changed = watcher.watch(look, MonotonicClock::at(std::min({nextShow, nextLookup, end})));
        now = Clock::now();
        tracker.observe(changed && !first && sensorsChanged, changed && trackerWritten, now, looks);
        controller.observe(changed && !first && controlsChanged, changed && controllerWritten, now, looks);
        looks = 0;
        if (changed && (first || sensorsChanged || controlsChanged)) {
            std::swap(current, fresh);
            if (recordFile != nullptr) output.write(toJson(current).dump() + '\n');
            first = false;
        }
        if (now >= nextShow) {
            const bool exact = watcher.state() == WriteRhythm::State::LOCKED;
            const bool driven = tracker.attached() && markedDriven(tracker.handle());
            const nlohmann::json health = {{"tracker", tracker.health(exact, driven)},
                                           {"controller", controller.health(exact, driven)},
                                           {"watching", watcher.describe()}};
            const Labels labels{room.names, settings.room ? room.installation->get() : nullptr};
            if (settings.json)
                output.write(jsonLine(current, tracker, settings.matrices, labels, health).dump() + '\n');
            else
                output.write((live ? "\x1b[H\x1b[2J" : "") +
                             text(current, tracker, controller, settings.matrices, labels, health, notice) +
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

}  // namespace trackd_monitor
