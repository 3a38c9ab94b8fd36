// Learns when trackd writes a segment, so that a reader sleeps until just before the next write and then
// looks closely, instead of polling all the time; where the writer is not periodic it polls steadily, and
// where nothing changes for a while it polls slowly.
// The clock is a parameter: the tests drive the watcher with simulated time and a simulated writer.
#pragma once

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace trackd_tools {

using Nanos = std::int64_t;  // a moment or a span on a monotonic clock, in nanoseconds

// The writer's rhythm as learnt from the moments at which its changes were seen.
class WriteRhythm {
public:
    enum class State {
        UNKNOWN,    // no steady period: poll steadily
        SEARCHING,  // a steady period, but its phase not yet seen closely: look closely until the next write
        LOCKED,     // period and phase known: sleep, then look closely around each write that is due
    };

    static constexpr std::size_t HISTORY = 24;          // changes remembered
    static constexpr std::size_t MIN_CHANGES = 8;       // before a period is trusted
    static constexpr std::size_t MIN_CLOSE = 4;         // changes seen closely, before a phase is trusted
    static constexpr Nanos CLOSE = 250'000;             // a change seen this soon after the look before it
    static constexpr Nanos MIN_PERIOD = 250'000;        // 4 kHz: faster writers are polled steadily
    static constexpr Nanos MAX_PERIOD = 250'000'000;    // 4 Hz: slower writers are polled steadily
    static constexpr Nanos MIN_GUARD = 30'000;          // the least margin on each side of a write that is due
    static constexpr std::size_t SEARCH_COOLDOWN = 64;  // changes before a writer found unsteady is searched again

    // A change was seen at `at`, `uncertainty` after the look before it: the write happened in between.
    void seen(Nanos at, Nanos uncertainty) {
        // After a pause of several periods the phase may have moved: then everything is learnt afresh. A
        // change that still falls on the rhythm learnt (the watcher itself was held up) keeps it.
        if (count_ > 0 && state_ != State::UNKNOWN && at - newest().at > PAUSE_PERIODS * period_) {
            const Nanos when = at - uncertainty / 2;
            if (state_ != State::LOCKED || std::llabs(when - dueAfter(when - period_ / 2)) > guard_ + uncertainty / 2)
                forget();
        }
        history_[(first_ + count_) % HISTORY] = {at, uncertainty};
        if (count_ < HISTORY)
            ++count_;
        else
            first_ = (first_ + 1) % HISTORY;
        if (cooldown_ > 0) --cooldown_;
        const State before = state_;
        relearn();
        // A search that ended without a rhythm is tried again later, later each time it fails.
        if (before == State::SEARCHING && state_ == State::UNKNOWN && cooldown_ == 0) failSearch();
        if (state_ == State::LOCKED) failedSearches_ = 0;
    }

    // Forgets the changes seen: a writer that stopped or paused. What was learnt of its extra writes stays.
    void forget() {
        count_ = 0;
        first_ = 0;
        clean_ = 0;
        state_ = State::UNKNOWN;
    }

    // Forgets everything: a segment made anew, or a writer back after stillness.
    void reset() {
        forget();
        cooldown_ = 0;
        failedSearches_ = 0;
        required_ = 0;
    }

    // A write came outside the rhythm (an extra write): the rhythm is forgotten, and it is trusted again only
    // after a longer run of changes on it, twice as long each time, so that a writer whose extra writes
    // recur is polled steadily for good.
    void distrust() {
        forget();
        required_ = std::min(required_ == 0 ? HISTORY : 2 * required_, MAX_REQUIRED);
    }

    State state() const { return state_; }
    Nanos period() const { return period_; }
    Nanos guard() const { return guard_; }

    // The first moment a write is due after `moment` (LOCKED only).
    Nanos dueAfter(Nanos moment) const {
        const Nanos periods = moment >= anchor_ ? (moment - anchor_) / period_ + 1 : -((anchor_ - moment) / period_);
        return anchor_ + periods * period_;
    }

private:
    static constexpr Nanos PAUSE_PERIODS = 4;
    static constexpr Nanos ALIASING = 4;  // a period must be this many times the time between looks
    static constexpr std::size_t MAX_COOLDOWN_DOUBLINGS = 4;
    static constexpr std::size_t MAX_REQUIRED = HISTORY << 6;

    struct Change {
        Nanos at = 0;
        Nanos uncertainty = 0;
    };

    void failSearch() {
        failedSearches_ = std::min<std::size_t>(failedSearches_ + 1, MAX_COOLDOWN_DOUBLINGS);
        cooldown_ = SEARCH_COOLDOWN << failedSearches_;
    }

    const Change& at(std::size_t i) const { return history_[(first_ + i) % HISTORY]; }
    const Change& newest() const { return at(count_ - 1); }

    static Nanos median(std::vector<Nanos> values) {
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        return *middle;
    }

    void relearn() {
        state_ = State::UNKNOWN;
        if (count_ < MIN_CHANGES) return;
        // Each write happened at most `uncertainty` before it was seen: take the middle, +- half of it.
        std::vector<Nanos> when, error, uncertainty;
        for (std::size_t i = 0; i < count_; ++i) {
            when.push_back(at(i).at - at(i).uncertainty / 2);
            error.push_back(at(i).uncertainty / 2);
            uncertainty.push_back(at(i).uncertainty);
        }
        std::vector<Nanos> gaps;
        for (std::size_t i = 1; i < when.size(); ++i) gaps.push_back(when[i] - when[i - 1]);
        const Nanos rough = median(gaps);
        if (rough < MIN_PERIOD || rough > MAX_PERIOD) return;
        // Once distrusted, the newest gap must be a multiple of the period, in a long enough run of such gaps.
        if (required_ > 0) {
            const Nanos gap = gaps.back();
            const Nanos k = (gap + rough / 2) / rough;
            const bool fits =
                k >= 1 && std::llabs(gap - k * rough) <= std::max(rough / 8, error[count_ - 1] + error[count_ - 2]);
            clean_ = fits ? clean_ + 1 : 0;
            if (clean_ < required_) return;
        }
        // Only changes seen soon after the look before them tell when they came: not those seen between two
        // windows, nor a rhythm hardly slower than the looks that saw it, which may be the looks' own.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < when.size(); ++i)
            if (uncertainty[i] * ALIASING <= rough) {
                when[kept] = when[i];
                error[kept] = error[i];
                uncertainty[kept] = uncertainty[i];
                ++kept;
            }
        when.resize(kept);
        if (kept < MIN_CHANGES) {  // too few to tell: look closely, and see
            period_ = rough;
            state_ = cooldown_ > 0 ? State::UNKNOWN : State::SEARCHING;
            return;
        }

        // A gap of k periods (a missed write) counts k times; one far from any multiple (a doubled write, a
        // burst, a writer with no rhythm) does not count. Most gaps must count.
        Nanos period = rough;
        std::size_t fitting = 0;
        for (int pass = 0; pass < 2 && period >= MIN_PERIOD; ++pass) {
            Nanos sum = 0;
            Nanos periods = 0;
            fitting = 0;
            for (std::size_t i = 1; i < kept; ++i) {
                const Nanos gap = when[i] - when[i - 1];
                const Nanos k = (gap + period / 2) / period;
                const Nanos tolerance = std::max(period / 8, error[i] + error[i - 1]);
                if (k < 1 || std::llabs(gap - k * period) > tolerance) continue;
                sum += gap;
                periods += k;
                ++fitting;
            }
            if (periods == 0) return;
            period = sum / periods;
        }
        if (period < MIN_PERIOD || period > MAX_PERIOD || fitting * 4 < (kept - 1) * 3) return;
        period_ = period;

        // Period and phase, closely: a line through the changes seen closely, write n at anchor + n * period,
        // n counted back from the newest of them.
        std::vector<double> n, t;
        const Nanos reference = when[kept - 1];
        for (std::size_t i = 0; i < kept; ++i) {
            if (uncertainty[i] > CLOSE) continue;
            t.push_back(static_cast<double>(when[i] - reference));
            n.push_back(std::round(t.back() / static_cast<double>(period)));
        }
        const auto k = static_cast<double>(n.size());
        double sumN = 0, sumT = 0, sumNN = 0, sumNT = 0;
        for (std::size_t i = 0; i < n.size(); ++i) {
            sumN += n[i];
            sumT += t[i];
            sumNN += n[i] * n[i];
            sumNT += n[i] * t[i];
        }
        const double spreadN = n.empty() ? 0 : sumNN - sumN * sumN / k;
        if (n.size() < MIN_CLOSE || spreadN < 1) {
            state_ = cooldown_ > 0 ? State::UNKNOWN : State::SEARCHING;
            return;
        }
        const double slope = (sumNT - sumN * sumT / k) / spreadN;
        const double intercept = (sumT - slope * sumN) / k;
        // The writer's jitter, and how closely its changes were seen: the farthest a change lies from the
        // line, with a quarter more for those to come.
        double jitter = 0;
        for (std::size_t i = 0; i < n.size(); ++i) jitter = std::max(jitter, std::abs(t[i] - intercept - slope * n[i]));
        const Nanos guard = std::llround(jitter * 5 / 4) + MIN_GUARD;
        if (!std::isfinite(slope) || std::abs(slope - static_cast<double>(period)) > static_cast<double>(period) / 16 ||
            guard > std::llround(slope) / 3) {
            failSearch();  // too unsteady to gain from sleeping: poll
            return;
        }
        period_ = std::llround(slope);
        anchor_ = reference + std::llround(intercept);
        guard_ = guard;
        state_ = State::LOCKED;
    }

    std::array<Change, HISTORY> history_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    std::size_t cooldown_ = 0;        // changes before the next search
    std::size_t failedSearches_ = 0;  // in a row
    std::size_t required_ = 0;        // changes on the rhythm, in a row, before it is trusted; 0: no extra write seen
    std::size_t clean_ = 0;           // changes on the rhythm in a row, once distrusted
    State state_ = State::UNKNOWN;
    Nanos period_ = 0;
    Nanos anchor_ = 0;
    Nanos guard_ = 0;
};

// The real clock: std::chrono::steady_clock, which is CLOCK_MONOTONIC on Linux, and sleeps that end on
// time, the thread's timer slack lowered from its default of 50 us.
class MonotonicClock {
public:
    MonotonicClock() { prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS); }
    static Nanos at(std::chrono::steady_clock::time_point moment) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(moment.time_since_epoch()).count();
    }
    static Nanos span(std::chrono::steady_clock::duration span) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    }
    static Nanos now() { return at(std::chrono::steady_clock::now()); }
    static void sleepUntil(Nanos moment) {
        const timespec t{static_cast<time_t>(moment / 1'000'000'000), static_cast<long>(moment % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);  // a signal only ends it early
    }

private:
    static constexpr unsigned long TIMER_SLACK_NS = 1000;
};

// Asks for real-time scheduling (SCHED_FIFO, a low priority) for the calling thread, so that on a busy
// machine it wakes when a write is due instead of milliseconds later; true if granted (root, CAP_SYS_NICE
// or an RLIMIT_RTPRIO allow it). The thread must sleep most of the time, as the watcher's does.
inline bool raiseToRealtime() {
    constexpr int REALTIME_PRIORITY = 10;  // above every ordinary process, below the kernel's and audio's
    const sched_param priority{REALTIME_PRIORITY};
    return sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
}

// Watches for changes: steady polling at the poll period while the writer's rhythm is unknown; once it
// is known, a look between two writes and close looks, DENSE_STEP apart, from a guard time before each
// write that is due until it is seen. A window that passes without the write falls back to steady
// polling until the next one, so a late write is seen as soon as steady polling would see it; a change
// seen by the look between two writes (an extra write, or a writer that sped up) falls back to steady
// polling until the rhythm is learnt again. After STILL_AFTER without a change, steady polling slows to
// STILL_PERIOD (unless the poll period is longer), and the first change after it is learnt afresh.
template <typename Clock>
class ChangeWatcher {
public:
    static constexpr int MAX_MISSED_WINDOWS = 3;    // then the rhythm is forgotten and learnt again
    static constexpr Nanos SEARCH_PERIODS = 2;      // how long a search looks closely for the next write
    static constexpr Nanos WIDENING_STEP = 50'000;  // a window widens by this, then twice as much each time
    static constexpr Nanos MAX_LATENESS = 250'000;  // the most a sleep's overrun counts (not a stall's)
    static constexpr Nanos SEARCH_STEP = 50'000;    // between looks while searching
    static constexpr Nanos DENSE_STEP = 20'000;     // between looks within a window: sleeping, not spinning
    static constexpr Nanos STILL_AFTER = 1'000'000'000;
    static constexpr Nanos STILL_PERIOD = 1'000'000;

    ChangeWatcher(Clock& clock, Nanos pollPeriod, bool steadyOnly)
        : clock_(clock),
          pollPeriod_(pollPeriod),
          steadyOnly_(steadyOnly),
          lastLook_(clock.now()),
          lastChange_(lastLook_) {}

    // Looks, when a look is due, until `changed()` says true, then returns true; or returns false once
    // `deadline` comes before the next look is due.
    template <typename Changed>
    bool watch(Changed&& changed, Nanos deadline) {
        for (;;) {
            if (nextLook_ > deadline) {
                if (deadline > clock_.now()) clock_.sleepUntil(deadline);
                return false;
            }
            // A window's first look is meant to come on time: its sleep ends early by what sleeps overrun.
            const Nanos target = nextLook_ - (opening_ ? lateness_ : 0);
            if (target > clock_.now()) {
                clock_.sleepUntil(target);
                if (opening_) lateness_ += (std::clamp<Nanos>(clock_.now() - target, 0, MAX_LATENESS) - lateness_) / 8;
            }
            const Nanos now = clock_.now();
            const Nanos sinceLook = now - lastLook_;
            lastLook_ = now;
            const bool seen = changed();
            if (seen) noteChange(now, sinceLook);
            nextLook_ = nextLook(now);
            if (seen) return true;
        }
    }

    // Forgets the writer's rhythm and all that was learnt of it: its segment was made anew.
    void restart() {
        rhythm_.reset();
        missed_ = 0;
        widening_ = 0;
    }

    WriteRhythm::State state() const { return steadyOnly_ ? WriteRhythm::State::UNKNOWN : rhythm_.state(); }
    Nanos period() const { return rhythm_.period(); }

    // "locked to 120.0 Hz", "finding the phase of 120.0 Hz", "steady polling at 1000 Hz" or "still: polling
    // at 1000 Hz".
    std::string describe() const {
        char text[64];
        const double writerHz = 1e9 / static_cast<double>(rhythm_.period());
        if (still_) {
            std::snprintf(text, sizeof text, "still: polling at %g Hz", 1e9 / static_cast<double>(stillPeriod()));
            return text;
        }
        switch (state()) {
            case WriteRhythm::State::LOCKED:
                std::snprintf(text, sizeof text, "locked to %.1f Hz", writerHz);
                break;
            case WriteRhythm::State::SEARCHING:
                std::snprintf(text, sizeof text, "finding the phase of %.1f Hz", writerHz);
                break;
            case WriteRhythm::State::UNKNOWN:
                std::snprintf(text, sizeof text, "steady polling at %g Hz", 1e9 / static_cast<double>(pollPeriod_));
                break;
        }
        return text;
    }

private:
    void noteChange(Nanos now, Nanos sinceLook) {
        lastChange_ = now;
        if (steadyOnly_) return;
        if (still_) {  // the writer is back after stillness, perhaps another one: learnt afresh
            rhythm_.reset();
            missed_ = 0;
            widening_ = 0;
        } else if (rhythm_.state() == WriteRhythm::State::LOCKED && between_ && !late_ && now < due_ - margin()) {
            // Seen by the look between two writes: it came after the last write's window closed, more than half
            // a period before the next is due. Steady polling would have seen it sooner, and any like it.
            rhythm_.distrust();
        } else if (rhythm_.state() == WriteRhythm::State::LOCKED) {
            // A write seen at the first look of its window, when that look came before the write was due, or
            // after the window, came outside it: widen the windows. (A first look held up past the due moment
            // tells nothing: the machine stalled, not the writer.) One seen closely within its window lets
            // them narrow again.
            const Nanos open = due_ - margin();
            if (late_ || (now - sinceLook < open && now >= open && now < due_))
                widening_ = std::min(rhythm_.period() / 4, 2 * widening_ + WIDENING_STEP);
            else if (sinceLook <= WriteRhythm::CLOSE)
                widening_ -= widening_ / 16;
        }
        rhythm_.seen(now, sinceLook);
        missed_ = 0;
        late_ = false;
        // The next write: one seen in or just after its window (early, on time or late) is followed by the write
        // due after that window; after a look held up for longer (a stalled machine), the next write may be
        // the one just due.
        if (rhythm_.state() == WriteRhythm::State::LOCKED)
            due_ = rhythm_.dueAfter(now + (sinceLook <= rhythm_.period() / 2 ? margin() : 0));
        searchUntil_ = now + SEARCH_PERIODS * rhythm_.period();
    }

    // How far before and after a due write its window reaches.
    Nanos margin() const { return std::min(rhythm_.guard() + widening_, rhythm_.period() / 3); }

    Nanos stillPeriod() const { return std::max(pollPeriod_, STILL_PERIOD); }

    Nanos steady(Nanos now) {
        still_ = !steadyOnly_ && now - lastChange_ >= STILL_AFTER;
        const Nanos period = still_ ? stillPeriod() : pollPeriod_;
        nextSteady_ += period;
        if (nextSteady_ <= now) nextSteady_ = now + period;  // behind: never catch up in a burst
        return nextSteady_;
    }

    Nanos nextLook(Nanos now) {
        opening_ = false;
        between_ = false;
        still_ = false;
        if (steadyOnly_) return steady(now);
        switch (rhythm_.state()) {
            case WriteRhythm::State::UNKNOWN:
                return steady(now);
            case WriteRhythm::State::SEARCHING:  // close looks, sleeping between them, for a writer that keeps writing
                return now < searchUntil_ ? now + SEARCH_STEP : steady(now);
            case WriteRhythm::State::LOCKED:
                break;
        }
        const Nanos period = rhythm_.period();
        const Nanos guard = margin();
        if (now > due_ + guard) {  // the window passed without the write: it is late, or was left out
            if (++missed_ >= MAX_MISSED_WINDOWS) {
                restart();
                return steady(now);
            }
            late_ = true;
            due_ = rhythm_.dueAfter(now - guard);
        }
        const Nanos open = due_ - guard;
        if (now >= open) return now + DENSE_STEP;
        if (late_) return std::min(steady(now), open);
        const Nanos between = due_ - period / 2;
        if (now < between) {
            between_ = true;
            return between;
        }
        opening_ = true;
        return open;
    }

    Clock& clock_;
    Nanos pollPeriod_;
    bool steadyOnly_;
    Nanos lastLook_;
    Nanos nextLook_ = 0;  // when the next look is due
    Nanos nextSteady_ = 0;
    WriteRhythm rhythm_;
    Nanos due_ = 0;          // the write the next window is for, once locked
    int missed_ = 0;         // windows passed in a row without their write
    bool late_ = false;      // the last window passed without its write: poll steadily until the next
    Nanos searchUntil_ = 0;  // while searching, the end of the close looks
    Nanos widening_ = 0;     // added to the learnt guard after writes came outside their windows
    bool opening_ = false;   // the next look opens a window
    bool between_ = false;   // the next look is the one between two writes
    Nanos lastChange_;       // when the last change was seen
    bool still_ = false;     // the next look is a slow one: nothing changed for STILL_AFTER
    Nanos lateness_ = 0;     // how long after their end sleeps end, on average
};

}  // namespace trackd_tools
