// trackd-sim's stop flag and its sleeps.
#include "pacing.h"

#include <algorithm>

#include "changeWatcher.h"

namespace trackd_sim {

using trackd_tools::MonotonicClock;

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

bool sleepUntil(Clock::time_point when, Clock::time_point end) {
    while (stopSignal == 0) {
        const auto now = Clock::now();
        if (now >= end) return false;
        if (now >= when) return true;
        MonotonicClock::sleepUntil(MonotonicClock::at(std::min({when, end, now + std::chrono::milliseconds(50)})));
    }
    return false;
}

}  // namespace trackd_sim
