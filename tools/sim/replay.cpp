// trackd-sim --play: the recording's checks and the replay's pace.
#include "replay.h"

#include <stdexcept>

#include "options.h"

namespace trackd_sim {

using namespace trackd_tools;

Recording::Recording(const std::string& path, bool rewindable, double from, double to)
    : reader_(path, rewindable, "trackd-sim"), to_(to) {
    if (!reader_.next(first_)) throw std::runtime_error(path + ": the recording holds no frames");
    // The frame in place at `from` is the last one at or before it; the one after it is kept to play next.
    afterFirst_ = reader_.mark();
    for (Snapshot frame; reader_.next(frame);) {
        if (frame.time > from) {
            pending_ = std::move(frame);
            break;
        }
        first_ = std::move(frame);
        afterFirst_ = reader_.mark();
    }
    if (first_.time > to) throw std::runtime_error(path + ": the recording holds no frames from --from to --to");
    if (first_.sensors.empty() || first_.sensors.size() > MAX_SENSORS || first_.buttons.size() > MAX_CONTROLS ||
        first_.valuators.size() > MAX_CONTROLS)
        throw reader_.error("the numbers of sensors, buttons or valuators are beyond what trackd-sim holds (1 to " +
                            std::to_string(MAX_SENSORS) + " sensors, up to " + std::to_string(MAX_CONTROLS) +
                            " buttons and valuators)");
}

std::optional<Snapshot> Recording::read() {
    if (pending_) {
        std::optional<Snapshot> frame = std::move(pending_);
        pending_.reset();
        return frame;
    }
    Snapshot frame;
    if (!reader_.next(frame)) return std::nullopt;
    return frame;
}

std::optional<Snapshot> Recording::next() {
    std::optional<Snapshot> read = this->read();
    if (!read || read->time > to_) return std::nullopt;
    Snapshot& frame = *read;
    if (frame.sensors.size() != first_.sensors.size() || frame.buttons.size() != first_.buttons.size() ||
        frame.valuators.size() != first_.valuators.size())
        throw reader_.error("the numbers of sensors, buttons or valuators differ from the first frame's");
    return read;
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
