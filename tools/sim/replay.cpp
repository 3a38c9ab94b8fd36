// trackd-sim --play: the recording's checks and the replay's pace.
#include "replay.h"

#include <stdexcept>

#include "options.h"

namespace trackd_sim {

using namespace trackd_tools;

Recording::Recording(const std::string& path, bool rewindable) : reader_(path, rewindable, "trackd-sim") {
    if (!reader_.next(first_)) throw std::runtime_error(path + ": the recording holds no frames");
    if (first_.sensors.empty() || first_.sensors.size() > MAX_SENSORS || first_.buttons.size() > MAX_CONTROLS ||
        first_.valuators.size() > MAX_CONTROLS)
        throw reader_.error("the numbers of sensors, buttons or valuators are beyond what trackd-sim holds (1 to " +
                            std::to_string(MAX_SENSORS) + " sensors, up to " + std::to_string(MAX_CONTROLS) +
                            " buttons and valuators)");
    afterFirst_ = reader_.mark();
}

std::optional<Snapshot> Recording::next() {
    Snapshot frame;
    if (!reader_.next(frame)) return std::nullopt;
    if (frame.sensors.size() != first_.sensors.size() || frame.buttons.size() != first_.buttons.size() ||
        frame.valuators.size() != first_.valuators.size())
        throw reader_.error("the numbers of sensors, buttons or valuators differ from the first frame's");
    return frame;
}

bool replay(Simulator& simulator, Recording& recording, bool loop, double rate, double speed, Clock::time_point start,
            Clock::time_point end) {
    const auto at = [&](double seconds) { return start + clockDuration(seconds); };
    // A loop starts again one update period after the recording's last frame.
    const double firstTime = recording.first().time;
    double offset = 0;
    double lastTime = firstTime;
    for (bool running = true; running;) {
        std::optional<Snapshot> frame = recording.next();
        if (!frame) {
            if (!loop) return true;
            recording.rewind();
            offset += lastTime - firstTime + 1.0 / rate;
            running = sleepUntil(at(offset / speed), end);
            if (running) simulator.write(recording.first());
            continue;
        }
        lastTime = frame->time;
        running = sleepUntil(at((offset + frame->time - firstTime) / speed), end);
        if (running) simulator.write(*frame);
    }
    return false;
}

}  // namespace trackd_sim
