// trackd-monitor's run: both segments followed, looked at when the change watcher says, shown at --rate
// or recorded at every change, until q, a signal or the end.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "changeWatcher.h"
#include "keyReader.h"
#include "markers.h"
#include "options.h"
#include "output.h"
#include "printable.h"
#include "reading.h"
#include "recording.h"
#include "rendering.h"
#include "segmentFollower.h"
#include "settings.h"
#include "trackdLayout.h"
#include "zoravoVAR.h"

namespace trackd_monitor {

using namespace trackd_tools;
using namespace trackd_layout;

namespace {

constexpr double MARKER_PERIOD = 0.01;  // seconds: the longest a marker waits while the writer is still

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

// The wall clock as RFC 3339 in UTC with microseconds, such as 2026-12-09T23:14:56.123456Z.
std::string rfc3339(std::chrono::system_clock::time_point moment) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(moment.time_since_epoch()).count();
    const auto seconds = static_cast<std::time_t>(micros / 1'000'000 - (micros % 1'000'000 < 0 ? 1 : 0));
    const long fraction = static_cast<long>(micros - static_cast<long long>(seconds) * 1'000'000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%06ldZ", fraction);
    return text;
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

// The writer's period as the recorder learns it, from the gaps between the changes it saw, and the writes
// a gap longer than 1.5 periods may have hidden.
class GapMeter {
public:
    // A change seen at `at` (seconds); returns the writes that may have been missed before it.
    std::uint32_t seen(double at) {
        std::uint32_t missed = 0;
        if (seen_) {
            const double gap = at - last_;
            const double period = learnt();
            if (period > 0 && gap > 1.5 * period)
                missed = static_cast<std::uint32_t>(std::min(std::llround(gap / period) - 1, MOST_COUNTED));
            gaps_[next_++ % GAPS] = gap;
        }
        seen_ = true;
        last_ = at;
        return missed;
    }

private:
    static constexpr std::size_t GAPS = 24;  // gaps remembered: the period is their median
    static constexpr std::size_t MIN_GAPS = 8;
    static constexpr long long MOST_COUNTED = 1'000'000'000;

    double learnt() const {
        if (next_ < MIN_GAPS) return 0;
        std::array<double, GAPS> sorted = gaps_;
        const std::size_t count = std::min(next_, GAPS);
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count / 2),
                         sorted.begin() + static_cast<std::ptrdiff_t>(count));
        return sorted[count / 2];
    }

    std::array<double, GAPS> gaps_{};
    std::size_t next_ = 0;
    bool seen_ = false;
    double last_ = 0;
};

}  // namespace

int run(const Settings& settings) {
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
    const std::unique_ptr<MarkerListener> markers =
        settings.markers.empty() ? nullptr : std::make_unique<MarkerListener>(settings.markers, settings.record);
    // The wall clock beside the moment the lines' times count from.
    const auto start = Clock::now();
    const auto wallStart = std::chrono::system_clock::now();
    if (recordFile != nullptr) {
        RecordingHeader header;
        header.version = markers ? RECORDING_VERSION : RECORDING_VERSION_WITHOUT_MARKERS;
        header.started = rfc3339(wallStart);
        header.host = hostName();
        header.tool = "trackd-monitor " ZORAVOVAR_VERSION_TEXT;
        header.trackerKey = settings.trackerKey;
        header.controllerKey = settings.controllerKey;
        header.sensorNames = settings.names;
        output.write(recordingHeader(header).dump() + '\n');
        console.write("trackd-monitor: recording every change to " + printable(settings.record) +
                      (markers ? ", markers from " + printable(settings.markers) : std::string()) + "; Ctrl-C stops\n");
        // A recording must see every write, also when other processes keep the machine busy.
        if (!raiseToRealtime())
            std::cerr << "trackd-monitor: without real-time priority (it needs root, CAP_SYS_NICE or an rtprio "
                         "limit), a busy machine can make the recording miss changes\n";
    }
    const KeyReader keys(live);

    const auto showPeriod = clockDuration(1 / settings.rate);
    const auto end = settings.duration > 0 ? start + clockDuration(settings.duration) : Clock::time_point::max();
    // A recording shows nothing: the lookups and the end are its only deadlines, and it sleeps between changes.
    auto nextShow = recordFile != nullptr ? Clock::time_point::max()
                    : settings.once       ? start + clockDuration(settings.sampleFor)
                                          : start;
    auto nextLookup = start + clockDuration(LOOKUP_PERIOD);
    // Markers are taken at each change and at least this often, so that they wait little while the writer is
    // still; the socket is only read, never waited on.
    const auto markerPeriod = clockDuration(MARKER_PERIOD);
    auto nextMarkers = markers ? start + markerPeriod : Clock::time_point::max();
    GapMeter gaps;
    long long tornLines = 0, missedLines = 0, missedWrites = 0, markerLines = 0, frameLines = 0;
    // Markers come after the frame written last and are timed as they are taken: never before it.
    const auto takeMarkers = [&] {
        markers->drain([&](std::string_view text) {
            output.write(markerJson({seconds(Clock::now() - start), std::string(text)}).dump() + '\n');
            ++markerLines;
        });
    };
    MonotonicClock clock;
    ChangeWatcher<MonotonicClock> watcher(clock, MonotonicClock::span(clockDuration(1 / settings.pollRate)),
                                          settings.steadyPoll);
    Snapshot current, fresh, scratch;
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
        fresh.torn = !settled;
        sensorsChanged = first || !sameSensors(fresh, current);
        controlsChanged = first || !sameControls(fresh, current);
        return sensorsChanged || controlsChanged;
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
        const bool changed =
            watcher.watch(look, MonotonicClock::at(std::min({nextShow, nextLookup, nextMarkers, end})));
        now = Clock::now();
        tracker.observe(changed && !first && sensorsChanged, now, looks);
        controller.observe(changed && !first && controlsChanged, now, looks);
        looks = 0;
        if (changed) {
            std::swap(current, fresh);
            current.missed = gaps.seen(current.time);
            if (recordFile != nullptr) {
                output.write(toJson(current).dump() + '\n');
                ++frameLines;
                tornLines += current.torn ? 1 : 0;
                missedLines += current.missed > 0 ? 1 : 0;
                missedWrites += current.missed;
            }
            first = false;
        }
        if (markers && (changed || now >= nextMarkers)) {
            takeMarkers();
            nextMarkers = now + markerPeriod;
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
        if (markers) takeMarkers();
        if (std::fclose(recordFile) != 0)
            throw std::runtime_error("cannot write to " + settings.record + ": " + std::strerror(errno));
        std::string said = "trackd-monitor: recorded " + std::to_string(frameLines) + " lines to " +
                           printable(settings.record) + ": " + std::to_string(tornLines) +
                           " torn (still changing after " + std::to_string(SETTLE_ATTEMPTS) + " reads), " +
                           std::to_string(missedLines) + " after gaps that may have hidden " +
                           std::to_string(missedWrites) + " writes";
        if (markers)
            said += ", " + std::to_string(markerLines) + " markers (" + std::to_string(markers->refused()) +
                    " datagrams refused: not UTF-8, longer than " + std::to_string(LONGEST_MARKER) +
                    " bytes or holding a NUL)";
        console.write(said + '\n');
    }
    // A segment that never attached is a failure, even when the other was shown.
    return tracker.attached() && controller.attached() ? 0 : EXIT_FAILURE_AT_RUN_TIME;
}

}  // namespace trackd_monitor
