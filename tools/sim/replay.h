// trackd-sim --play: a recording replayed into the segments, at its own pace or faster, once, held or
// in a loop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pacing.h"
#include "recording.h"
#include "simSegments.h"
#include "snapshot.h"

namespace trackd_sim {

// A recording replayed: the shared reader, with what the simulator's segments need of it (counts that fit
// them and stay those of the first frame).
class Recording {
public:
    // `rewindable` asks for a file that can go back to its start, as --loop needs. Only the part from `from`
    // to `to` (seconds on the recording's clock, its "time" values) plays: it starts with the frame in place
    // at `from`.
    Recording(const std::string& path, bool rewindable, double from = 0, double to = trackd_tools::LONGEST_SECONDS);

    const trackd_tools::Snapshot& first() const { return first_; }
    const std::vector<std::string>& sensorNames() const { return reader_.sensorNames(); }

    // The next frame, or nothing at the end; throws naming the line that is wrong.
    std::optional<trackd_tools::Snapshot> next();

    // Goes back to the frame after the first; only for a recording made rewindable.
    void rewind() {
        reader_.restore(afterFirst_);
        pending_.reset();
    }

    // The marker lines passed over, which the segments have no place for.
    long long markersSkipped() const { return reader_.markersSkipped(); }

private:
    std::optional<trackd_tools::Snapshot> read();

    trackd_tools::RecordingReader reader_;
    double to_;
    trackd_tools::Snapshot first_;
    trackd_tools::RecordingReader::Mark afterFirst_;
    std::optional<trackd_tools::Snapshot> pending_;  // read ahead past `from`, not yet played
};

// Replays the frames after the first (which is already in place) from `start` on, until the recording
// ends, a signal or `end`; `loop` starts again one update period (1 / `rate`) after the last frame.
// True when the recording came to its end and did not loop.
bool replay(Simulator& simulator, Recording& recording, bool loop, double rate, double speed, Clock::time_point start,
            Clock::time_point end);

}  // namespace trackd_sim
