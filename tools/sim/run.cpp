// trackd-sim's run: the segments made, the first frame and the banner, then the face the settings chose
// (the motions, a replay or the driven values) until the end, and the segments removed.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>
#include <random>
#include <string>

#include "changeWatcher.h"
#include "driven.h"
#include "motions.h"
#include "options.h"
#include "pacing.h"
#include "printable.h"
#include "recording.h"
#include "replay.h"
#include "settings.h"
#include "simSegments.h"

namespace trackd_sim {

using namespace trackd_tools;

namespace {

// The default motion or --pattern's values, written at the update rate from `start` until a signal or `end`.
void move(Simulator& simulator, const Settings& settings, Clock::time_point start, Clock::time_point end) {
    const auto at = [&](double seconds) { return start + clockDuration(seconds); };
    // Like a tracker, each update comes at its tick, moved by up to --jitter; one that fell behind
    // (on a loaded machine) writes the present and leaves out the ticks it missed, never a burst.
    // --pattern numbers the updates written, so that a reader can tell one it missed.
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> shift(-settings.jitter * 1e-6, settings.jitter * 1e-6);
    long long written = 0;
    for (long long tick = 1;; ++tick) {
        if (!sleepUntil(at(static_cast<double>(tick) / settings.rate + (settings.jitter > 0 ? shift(random) : 0)), end))
            break;
        // The ticks already past are left out, and the next one too when it is less than half a
        // period away: updates never come closer together than a tracker's would.
        const double late =
            std::chrono::duration<double>(Clock::now() - at(static_cast<double>(tick) / settings.rate)).count();
        tick += std::llround(late * settings.rate);
        ++written;
        simulator.write(settings.pattern ? checkable(written, settings.sensors, settings.buttons, settings.valuators)
                                         : motion(static_cast<double>(tick) / settings.rate, settings.sensors,
                                                  settings.buttons, settings.valuators));
    }
}

}  // namespace

int run(Settings settings) {
    std::optional<Recording> recording;
    if (!settings.play.empty()) {
        recording.emplace(settings.play, settings.loop, settings.from, settings.to);
        settings.sensors = static_cast<std::uint32_t>(recording->first().sensors.size());
        settings.buttons = static_cast<std::uint32_t>(recording->first().buttons.size());
        settings.valuators = static_cast<std::uint32_t>(recording->first().valuators.size());
    }
    // A recording that cannot be written is found out before the segments appear.
    if (!settings.drive.record.empty())
        settings.drive.recording = openRecordingFile(settings.drive.record, settings.drive.overwrite);
    for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);  // each removes both segments
    const MonotonicClock preciseSleeps;                                   // updates on time, as a tracker's,
    raiseToRealtime();  // also on a busy machine where allowed (as trackd often runs)
    bool ended = false;
    {  // the segments live until this block ends
        SimSegment tracker("tracker", settings.trackerKey, trackerSize(settings.sensors), settings.mode,
                           settings.replace);
        SimSegment controller("controller", settings.controllerKey,
                              controllerSize(settings.buttons, settings.valuators), settings.mode, settings.replace);
        Simulator simulator(tracker, controller, settings.sensors, settings.buttons, settings.valuators);
        // Readers that start when the banner appears find the first frame already in place.
        std::optional<Driver> driver;
        if (settings.interactive)
            driver.emplace(startPoses(settings.sensors, settings.head, settings.wand), settings.buttons,
                           settings.valuators, settings.steps);
        simulator.write(driver             ? driver->state()
                        : settings.still   ? staticPose(settings.sensors, settings.buttons, settings.valuators)
                        : recording        ? recording->first()
                        : settings.pattern ? checkable(0, settings.sensors, settings.buttons, settings.valuators)
                                           : motion(0, settings.sensors, settings.buttons, settings.valuators));
        char pace[64];
        std::snprintf(pace, sizeof pace, "%g Hz", settings.rate);
        char banner[512];
        std::snprintf(banner, sizeof banner,
                      "trackd-sim: tracker key %s: id %d, %u bytes, %u sensors; controller key %s: id %d, %u bytes, "
                      "%u buttons, %u valuators; mode %04o, %s; Ctrl-C stops and removes both",
                      keyText(settings.trackerKey).c_str(), tracker.id(), tracker.size(), settings.sensors,
                      keyText(settings.controllerKey).c_str(), controller.id(), controller.size(), settings.buttons,
                      settings.valuators, static_cast<unsigned>(settings.mode),
                      driver           ? (settings.drive.commands ? "driven by commands" : "driven by hand")
                      : settings.still ? "static pose"
                      : recording      ? ("replaying " + printable(settings.play)).c_str()
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
        const auto end = settings.duration > 0 ? start + clockDuration(settings.duration) : Clock::time_point::max();
        if (driver) {
            settings.drive.rate = settings.rate;
            settings.drive.duration = settings.duration;
            settings.drive.banner = banner;
            runDriven(simulator, *driver, settings.drive);
        } else if (recording) {
            ended = replay(simulator, *recording, settings.loop, settings.rate, settings.speed, start, end) &&
                    !settings.hold;
        } else if (!settings.still) {
            move(simulator, settings, start, end);
        }
        if (recording && recording->markersSkipped() > 0)
            std::printf("trackd-sim: skipped %lld marker lines, which the segments have no place for\n",
                        recording->markersSkipped());
        if (ended) std::printf("trackd-sim: the recording %s ended\n", printable(settings.play).c_str());
        std::fflush(stdout);  // said while a held frame stays in place
        // A static pose, or the last frame of a held recording, stays in place until the end.
        while (!ended && !driver && sleepUntil(end, end)) {
        }
    }
    std::printf("trackd-sim: removed both segments\n");
    return 0;
}

}  // namespace trackd_sim
