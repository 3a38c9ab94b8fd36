// trackd-sim's stop flag, which the stop signals raise, and the sleeps that every face makes until a
// moment, a signal or the end.
#pragma once

#include <chrono>
#include <csignal>

namespace trackd_sim {

using Clock = std::chrono::steady_clock;

extern volatile std::sig_atomic_t stopSignal;
void onSignal(int signal);

// Sleeps until `when`: true when it came, false after a signal or at `end`.
bool sleepUntil(Clock::time_point when, Clock::time_point end);

}  // namespace trackd_sim
