// The change watcher against simulated writers on a simulated clock: what it learns, when it falls back,
// and that it never loses a change that steady polling would have seen.
#include "changeWatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using trackd_tools::ChangeWatcher;
using trackd_tools::Nanos;
using trackd_tools::WriteRhythm;
using State = WriteRhythm::State;

constexpr Nanos US = 1000;
constexpr Nanos MS = 1000 * US;
constexpr Nanos S = 1000 * MS;
constexpr Nanos POLL = 1 * MS;       // the poll period the watcher falls back to
constexpr Nanos LOOK_COST = 1 * US;  // each look takes this long
constexpr Nanos WAKE_LATENCY = 10 * US;
constexpr Nanos LEARNING = 1 * S;            // what happens before this is not judged
constexpr Nanos STALL = 100 * MS;            // how long a stalled machine keeps the watcher from looking
constexpr Nanos CALLER_DEADLINE = 100 * MS;  // the caller's other work comes this often, as the tools' does

// Time that passes only when the watcher looks or sleeps; a sleep across a stall ends `stall` late, as on
// a machine that ran something else for that long.
struct SimulatedClock {
    Nanos t = 0;
    Nanos stallEvery = 0;
    Nanos stall = 0;
    Nanos now() const { return t; }
    void sleepUntil(Nanos moment) {
        const bool stalled = stallEvery > 0 && moment / stallEvery > t / stallEvery;
        t = std::max(t, moment + WAKE_LATENCY + (stalled ? stall : 0));
    }
};

// The most a locked watcher takes to see a write inside its window: a step between its close looks.
constexpr Nanos CLOSE_DELAY = ChangeWatcher<SimulatedClock>::DENSE_STEP + WAKE_LATENCY + 2 * LOOK_COST;

// Moments of writes, from `from` to `to`, `period` apart, each moved by up to +-`jitter`.
std::vector<Nanos> periodic(Nanos from, Nanos to, Nanos period, Nanos jitter = 0, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<Nanos> shift(-jitter, jitter);
    std::vector<Nanos> writes;
    for (Nanos t = from; t < to; t += period) writes.push_back(t + (jitter > 0 ? shift(random) : 0));
    std::sort(writes.begin(), writes.end());
    return writes;
}

struct Outcome {
    std::vector<Nanos> delays;    // from each write seen (the newest at its look) to the look, after LEARNING
    std::vector<Nanos> seen;      // and when each of those writes was made
    std::vector<Nanos> lookedAt;  // every look
    std::vector<std::pair<Nanos, std::string>> said;  // what the watcher said it does, from when
    long long lost = 0;                               // writes overwritten by the next before any look, after LEARNING
    long long looks = 0;                              // after LEARNING
    long long overslept = 0;                          // returns later than the moment asked for
    State state = State::UNKNOWN;
    Nanos period = 0;

    long long looksIn(Nanos from, Nanos to) const {
        return std::count_if(lookedAt.begin(), lookedAt.end(), [&](Nanos t) { return t >= from && t < to; });
    }
    std::string saidAt(Nanos moment) const {
        std::string text;
        for (const auto& [from, what] : said)
            if (from <= moment) text = what;
        return text;
    }
    // Writes seen more than `bound` after they were made.
    long long seenLaterThan(Nanos bound) const {
        return std::count_if(delays.begin(), delays.end(), [&](Nanos d) { return d > bound; });
    }

    Nanos delay(double quantile) const {
        std::vector<Nanos> sorted = delays;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[static_cast<std::size_t>(quantile * static_cast<double>(sorted.size() - 1))];
    }
};

// Runs a watcher over `writes` until `end`; `restartAt`, if given, is when the caller learns that the
// segment was made anew.
Outcome watch(const std::vector<Nanos>& writes, Nanos end, bool steadyOnly = false, Nanos restartAt = -1,
              Nanos stallEvery = 0, Nanos poll = POLL) {
    SimulatedClock clock{0, stallEvery, STALL};
    ChangeWatcher<SimulatedClock> watcher(clock, poll, steadyOnly);
    Outcome out;
    std::size_t next = 0;
    const auto changed = [&] {
        clock.t += LOOK_COST;
        if (clock.t > LEARNING) ++out.looks;
        out.lookedAt.push_back(clock.t);
        std::size_t written = 0;
        for (; next < writes.size() && writes[next] <= clock.t; ++next) ++written;
        if (written == 0) return false;
        if (writes[next - 1] > LEARNING) {
            out.lost += static_cast<long long>(written) - 1;
            out.delays.push_back(clock.t - writes[next - 1]);
            out.seen.push_back(writes[next - 1]);
        }
        return true;
    };
    bool restarted = false;
    while (clock.t < end) {
        if (!restarted && restartAt >= 0 && clock.t >= restartAt) {
            watcher.restart();
            restarted = true;
        }
        const Nanos deadline =
            std::min(restartAt > clock.t ? std::min(end, restartAt) : end, clock.t + CALLER_DEADLINE);
        watcher.watch(changed, deadline);
        if (clock.t > deadline + WAKE_LATENCY + clock.stall + LOOK_COST) ++out.overslept;
        if (out.said.empty() || out.said.back().second != watcher.describe())
            out.said.emplace_back(clock.t, watcher.describe());
        clock.t += 5 * US;  // the caller's work on what changed
    }
    out.state = watcher.state();
    out.period = watcher.period();
    return out;
}

void expectLockedTo(const Outcome& out, Nanos period) {
    EXPECT_EQ(out.overslept, 0);
    EXPECT_EQ(out.state, State::LOCKED);
    EXPECT_NEAR(static_cast<double>(out.period), static_cast<double>(period), static_cast<double>(period) / 1000);
}

TEST(changeWatcherRhythm, locksToASteadyWriterAndSeesEachWriteAtOnceWithFewLooks) {
    for (const Nanos period : std::vector<Nanos>{16'666'667, 8'333'333, 4'166'667, 1 * MS}) {
        const auto writes = periodic(3 * MS, 5 * S, period);
        const Outcome out = watch(writes, 5 * S);
        expectLockedTo(out, period);
        EXPECT_EQ(out.lost, 0) << period;
        EXPECT_LE(out.delay(0.99), CLOSE_DELAY) << period;
        // A window of twice the guard, spent looking at LOOK_COST a look, a look between windows and one
        // on waking: far fewer than steady polling's one a POLL.
        const auto writesJudged = static_cast<long long>(out.delays.size());
        EXPECT_LE(out.looks, writesJudged * (2 * WriteRhythm::MIN_GUARD / LOOK_COST + 4)) << period;
    }
}

TEST(changeWatcherRhythm, jitterWidensTheWindowButLosesNothing) {
    const Nanos period = 8'333'333;
    const auto writes = periodic(0, 6 * S, period, 200 * US, 7);
    const Outcome out = watch(writes, 6 * S);
    expectLockedTo(out, period);
    EXPECT_EQ(out.lost, 0);
    EXPECT_LE(out.delay(0.99), CLOSE_DELAY);
}

TEST(changeWatcherRhythm, followsDriftAndMissedWrites) {
    // Drift: from 120 Hz to 119.5 Hz over six seconds.
    std::vector<Nanos> drifting;
    for (Nanos t = 0, period = 8'333'333; t < 6 * S; t += period, period += 8) drifting.push_back(t);
    Outcome out = watch(drifting, 6 * S);
    EXPECT_EQ(out.state, State::LOCKED);
    EXPECT_EQ(out.lost, 0);
    EXPECT_LE(out.delay(0.99), CLOSE_DELAY);

    // Every seventh write left out.
    std::vector<Nanos> gappy;
    const auto steady = periodic(0, 6 * S, 8'333'333);
    for (std::size_t i = 0; i < steady.size(); ++i)
        if (i % 7 != 3) gappy.push_back(steady[i]);
    out = watch(gappy, 6 * S);
    expectLockedTo(out, 8'333'333);
    EXPECT_EQ(out.lost, 0);
    EXPECT_LE(out.delay(0.9), CLOSE_DELAY);
}

TEST(changeWatcherRhythm, extraWritesFallBackToSteadyPollingAndNothingIsLostOrLateThatItWouldSee) {
    // A 100 Hz writer that adds writes 2 and 4 ms after every tenth, or 2 ms, or 300 us (a doubled write);
    // and one that adds a single write once. The watcher polls at 10 kHz when it polls steadily.
    constexpr Nanos poll = 100 * US;
    constexpr Nanos steadyDelay = poll + WAKE_LATENCY + 2 * LOOK_COST;
    const auto withExtras = [](const std::vector<Nanos>& after, std::size_t every) {
        std::vector<Nanos> writes;
        const auto steady = periodic(3 * MS, 5 * S, 10 * MS);
        for (std::size_t i = 0; i < steady.size(); ++i) {
            writes.push_back(steady[i]);
            if (i % every == 5)
                for (const Nanos extra : after) writes.push_back(steady[i] + extra);
        }
        return writes;
    };
    for (const auto& extras : std::vector<std::vector<Nanos>>{{2 * MS, 4 * MS}, {2 * MS}, {300 * US}}) {
        const auto writes = withExtras(extras, 10);
        const Outcome out = watch(writes, 5 * S, false, -1, 0, poll);
        const Outcome steady = watch(writes, 5 * S, true, -1, 0, poll);
        EXPECT_EQ(steady.lost, 0) << extras.size();
        EXPECT_EQ(out.lost, 0) << extras.size();
        EXPECT_EQ(out.seen, steady.seen) << extras.size();  // each write seen, so each counted
        EXPECT_LE(out.delay(1.0), steadyDelay) << extras.size();
        EXPECT_NE(out.state, State::LOCKED);
    }
    // One extra write, 2 ms after the write at 2.503 s: seen half a period late (nothing sees the unexpected
    // sooner without polling steadily), the rest on time, and the rhythm learnt again.
    auto once = periodic(3 * MS, 5 * S, 10 * MS);
    once.push_back(2505 * MS);
    std::sort(once.begin(), once.end());
    const Outcome out = watch(once, 5 * S, false, -1, 0, poll);
    expectLockedTo(out, 10 * MS);
    EXPECT_EQ(out.lost, 0);
    EXPECT_EQ(out.seen, watch(once, 5 * S, true, -1, 0, poll).seen);
    EXPECT_EQ(out.seenLaterThan(steadyDelay), 1);
    EXPECT_LE(out.delay(0.99), CLOSE_DELAY);
}

TEST(changeWatcherRhythm, aRateChangePauseOrRestartIsLearntAgainWithoutLosingAWrite) {
    // 60 Hz, then 120 Hz: the look between two windows sees the writes in between.
    auto writes = periodic(0, 3 * S, 16'666'667);
    for (const Nanos t : periodic(3 * S, 6 * S, 8'333'333)) writes.push_back(t + 1234 * US);
    Outcome out = watch(writes, 6 * S);
    expectLockedTo(out, 8'333'333);
    EXPECT_EQ(out.lost, 0);

    // A pause of two seconds, after which the writer resumes at another phase.
    writes = periodic(0, 2 * S, 8'333'333);
    for (const Nanos t : periodic(4 * S + 3 * MS, 7 * S, 8'333'333)) writes.push_back(t);
    out = watch(writes, 7 * S);
    expectLockedTo(out, 8'333'333);
    EXPECT_EQ(out.lost, 0);

    // trackd made anew at 3 s, writing at another phase: the caller says so.
    writes = periodic(0, 3 * S, 8'333'333);
    for (const Nanos t : periodic(3 * S + 5 * MS, 6 * S, 8'333'333)) writes.push_back(t);
    out = watch(writes, 6 * S, false, 3 * S);
    expectLockedTo(out, 8'333'333);
    EXPECT_EQ(out.lost, 0);
    EXPECT_LE(out.delay(0.9), CLOSE_DELAY);
}

TEST(changeWatcherRhythm, aStalledMachineCostsOnlyTheWritesOfTheStall) {
    // About each second the watcher sleeps STALL too long: the writes of the stall but the last are lost, and it
    // locks again at once, never sleeping past the moment it is asked to return.
    const auto writes = periodic(0, 6 * S, 8'333'333);
    const Outcome out = watch(writes, 6 * S, false, -1, 1003 * MS);
    expectLockedTo(out, 8'333'333);
    EXPECT_LE(out.lost, 5 * (STALL / 8'333'333));
    EXPECT_LE(out.delay(0.95), CLOSE_DELAY);
    EXPECT_LE(out.looks, static_cast<long long>(out.delays.size()) * (2 * WriteRhythm::MIN_GUARD / LOOK_COST + 8));
}

TEST(changeWatcherRhythm, aWriterWithNoRhythmIsPolledSteadilyAndLosesNoMoreThanSteadyPolling) {
    std::mt19937 random(3);
    std::uniform_int_distribution<Nanos> moment(0, 5 * S);
    std::vector<Nanos> random1k(5000);
    for (Nanos& t : random1k) t = moment(random);
    std::sort(random1k.begin(), random1k.end());
    std::vector<Nanos> bursts;  // five writes 200 us apart, at random moments about 20 times a second
    for (int i = 0; i < 100; ++i)
        for (int k = 0; k < 5; ++k) bursts.push_back(moment(random) / 1000 * 1000 + Nanos{k} * 200 * US);
    std::sort(bursts.begin(), bursts.end());
    for (const auto* writes : {&random1k, &bursts}) {
        const Outcome out = watch(*writes, 5 * S);
        const Outcome steady = watch(*writes, 5 * S, true);
        EXPECT_NE(out.state, State::LOCKED);
        EXPECT_LE(out.lost, steady.lost + steady.lost / 20 + 5);
        EXPECT_LE(out.delay(1.0), POLL + WAKE_LATENCY + 2 * LOOK_COST);
        // Now and then it looks closely for a rhythm (searching), less often each time it finds none.
        EXPECT_LE(out.looks, (5 * S - LEARNING) / POLL * 5 / 4) << out.looks;
    }
}

TEST(changeWatcherStill, aStillSourceIsPolledSlowlyAndTheFirstChangeAfterIsSeenWithinAMillisecond) {
    // 120 Hz for two seconds, three seconds of stillness, then 120 Hz again at another phase; the watcher
    // polls at 20 kHz when it polls steadily.
    constexpr Nanos poll = 50 * US;
    constexpr Nanos resumed = 5 * S + 3300 * US;
    auto writes = periodic(0, 2 * S, 8'333'333);
    for (const Nanos t : periodic(resumed, 8 * S, 8'333'333)) writes.push_back(t);
    const Outcome out = watch(writes, 8 * S, false, -1, 0, poll);
    using Watcher = ChangeWatcher<SimulatedClock>;
    const Nanos stillFrom = 2 * S + Watcher::STILL_AFTER;
    EXPECT_LE(out.looksIn(stillFrom + 10 * MS, resumed), (resumed - stillFrom) / Watcher::STILL_PERIOD);
    EXPECT_GE(out.looksIn(stillFrom + 10 * MS, resumed), (resumed - stillFrom) / Watcher::STILL_PERIOD * 9 / 10);
    EXPECT_EQ(out.saidAt(4 * S), "still: polling at 1000 Hz");
    const auto first = std::find(out.seen.begin(), out.seen.end(), resumed);
    ASSERT_NE(first, out.seen.end());
    EXPECT_LE(out.delays[static_cast<std::size_t>(first - out.seen.begin())],
              Watcher::STILL_PERIOD + WAKE_LATENCY + 2 * LOOK_COST);
    EXPECT_EQ(out.lost, 0);
    // The rhythm is learnt again: each write seen at once, with few looks.
    expectLockedTo(out, 8'333'333);
    EXPECT_EQ(out.saidAt(8 * S), "locked to 120.0 Hz");
    EXPECT_LE(out.looksIn(7 * S, 8 * S), 120 * (2 * WriteRhythm::MIN_GUARD / Watcher::DENSE_STEP + 8));
    EXPECT_LE(out.seenLaterThan(CLOSE_DELAY), 60);  // about the first half second, while learning
}

TEST(changeWatcherRhythm, steadyPollingWhenToldSo) {
    const auto writes = periodic(0, 3 * S, 8'333'333);
    const Outcome out = watch(writes, 3 * S, true);
    EXPECT_EQ(out.state, State::UNKNOWN);
    EXPECT_EQ(out.lost, 0);
    EXPECT_GE(out.looks, 2 * S / POLL * 95 / 100);  // one a POLL, as before the watcher
}

TEST(changeWatcherRhythm, describesWhatItDoes) {
    SimulatedClock clock;
    ChangeWatcher<SimulatedClock> watcher(clock, POLL, false);
    EXPECT_EQ(watcher.describe(), "steady polling at 1000 Hz");
    const auto writes = periodic(0, 2 * S, 8'333'333);
    std::size_t next = 0;
    const auto changed = [&] {
        clock.t += LOOK_COST;
        const bool any = next < writes.size() && writes[next] <= clock.t;
        while (next < writes.size() && writes[next] <= clock.t) ++next;
        return any;
    };
    while (clock.t < 2 * S) watcher.watch(changed, 2 * S);
    EXPECT_EQ(watcher.describe(), "locked to 120.0 Hz");
}

}  // namespace
