// trackd-sim --play --interactive: a recording replayed under a person's keys, paused, stepped, sought and
// sped up or slowed down from a terminal.
#pragma once

#include <string>

#include "pacing.h"
#include "simSegments.h"

namespace trackd_sim {

// The most frames an interactive replay indexes (a day at 120 Hz): --from and --to play a part of more.
constexpr std::size_t MOST_INDEXED_FRAMES = 10'000'000;

// Plays the frames of `path` from `from` to `to` (the recording's clock) under the keys until q, a signal or
// `end`: space pauses and resumes, left and right step a frame back or on (and pause), PgUp and PgDn go ten
// seconds back or on, + and - double or halve the speed (`speed` at first). Each change says where it
// stands on a line. At the last frame it pauses. Throws naming the line that is wrong.
void playInteractively(Simulator& simulator, const std::string& path, double from, double to, double speed,
                       Clock::time_point end);

}  // namespace trackd_sim
