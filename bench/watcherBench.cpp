// How soon a change is seen, how many are missed and at what CPU: steady polling at three rates beside the
// change watcher, against a writer thread that writes a segment-sized block periodically with jitter, at
// random moments, periodically with extra writes, or never, stamping each write. One JSON line a row.
// Usage: watcherBench WRITER HZ JITTER_US SECONDS WATCHER POLL_HZ
//        WRITER periodic|random|still|extras:MS[,MS...] (extra writes MS after every tenth periodic one)
//        WATCHER steady|watcher|sleep (sleep: the floor, a bare sleep of a poll period, no look)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "changeWatcher.h"
#include "trackdLayout.h"

namespace {

using trackd_tools::ChangeWatcher;
using trackd_tools::MonotonicClock;
using trackd_tools::Nanos;

constexpr std::size_t BLOCK_WORDS = trackd_layout::TRACKER_SEGMENT_SIZE / 4;  // what a look compares
constexpr std::size_t COUNT_AT = 0;                                           // the write's number
constexpr std::size_t STAMP_AT = 1;                                           // and its moment, two words
constexpr double WARM_UP = 1.0;                                               // seconds not judged

std::atomic<std::uint32_t> block[BLOCK_WORDS];

Nanos threadCpu() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000'000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
}

void write(std::uint32_t n) {
    const Nanos now = MonotonicClock::now();
    block[STAMP_AT].store(static_cast<std::uint32_t>(now), std::memory_order_relaxed);
    block[STAMP_AT + 1].store(static_cast<std::uint32_t>(static_cast<std::uint64_t>(now) >> 32),
                              std::memory_order_relaxed);
    block[COUNT_AT].store(n, std::memory_order_release);
}

// `extras`: moments after every tenth periodic write at which to write again; a still writer writes once.
void writer(const std::string& kind, const std::vector<Nanos>& extras, double hz, double jitterUs, Nanos start,
            Nanos end) {
    trackd_tools::raiseToRealtime();  // as trackd often runs
    std::mt19937 random(7);
    const auto period = static_cast<Nanos>(1e9 / hz);
    std::uniform_int_distribution<Nanos> shift(-static_cast<Nanos>(jitterUs * 1000),
                                               static_cast<Nanos>(jitterUs * 1000));
    std::uniform_int_distribution<Nanos> anywhere(0, period - 1);
    std::uint32_t n = 0;
    for (std::uint32_t slot = 1;; ++slot) {
        const Nanos tick = start + static_cast<Nanos>(slot) * period;
        const Nanos at = kind == "random" ? tick + anywhere(random) : tick + (jitterUs > 0 ? shift(random) : 0);
        if (at >= end) return;
        MonotonicClock::sleepUntil(at);
        write(++n);
        if (kind == "still") return;
        if (slot % 10 == 5)
            for (const Nanos extra : extras) {
                MonotonicClock::sleepUntil(at + extra);
                write(++n);
            }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr,
                     "usage: watcherBench periodic|random|still|extras:MS[,MS...] HZ JITTER_US SECONDS "
                     "steady|watcher|sleep POLL_HZ\n");
        return 2;
    }
    std::string kind = argv[1];
    std::vector<Nanos> extras;
    if (kind.rfind("extras:", 0) == 0) {
        for (char* at = argv[1] + 7; *at != '\0';) {
            char* after = at;
            extras.push_back(static_cast<Nanos>(std::strtod(at, &after) * 1e6));
            if (after == at || (*after != ',' && *after != '\0')) {
                std::fprintf(stderr, "watcherBench: extras:MS[,MS...] wants milliseconds, not %s\n", at);
                return 2;
            }
            at = *after == ',' ? after + 1 : after;
        }
        kind = "extras";
    }
    const double hz = std::atof(argv[2]), jitterUs = std::atof(argv[3]), seconds = std::atof(argv[4]);
    const bool steadyOnly = std::strcmp(argv[5], "steady") == 0;
    const bool sleepOnly = std::strcmp(argv[5], "sleep") == 0;
    const double pollHz = std::atof(argv[6]);

    MonotonicClock clock;
    trackd_tools::raiseToRealtime();  // as the tools do where allowed
    const Nanos start = MonotonicClock::now() + 10'000'000;
    const Nanos judged = start + static_cast<Nanos>(WARM_UP * 1e9);
    const Nanos end = judged + static_cast<Nanos>(seconds * 1e9);
    std::thread writing(writer, kind, extras, hz, jitterUs, start, end);

    ChangeWatcher<MonotonicClock> watcher(clock, static_cast<Nanos>(1e9 / pollHz), steadyOnly);
    std::uint32_t seen = 0;
    std::vector<Nanos> delays;
    long long missed = 0;
    std::vector<std::uint32_t> copy(BLOCK_WORDS), last(BLOCK_WORDS);
    // A look as the tools make one: the whole block, word by word, compared with the last one seen; the
    // write's number tells a finished write from one under way.
    const auto look = [&] {
        for (std::size_t i = 0; i < BLOCK_WORDS; ++i) copy[i] = block[i].load(std::memory_order_acquire);
        return copy != last && copy[COUNT_AT] != last[COUNT_AT];
    };
    Nanos cpuAtJudged = -1;
    if (sleepOnly) {
        MonotonicClock::sleepUntil(judged);
        cpuAtJudged = threadCpu();
        const auto period = static_cast<Nanos>(1e9 / pollHz);
        for (Nanos at = judged + period; at < end; at += period) MonotonicClock::sleepUntil(at);
    }
    while (!sleepOnly && MonotonicClock::now() < end) {
        if (cpuAtJudged < 0 && MonotonicClock::now() >= judged) cpuAtJudged = threadCpu();
        if (!watcher.watch(look, std::min(end, MonotonicClock::now() + 100'000'000))) continue;
        const Nanos now = MonotonicClock::now();
        last.swap(copy);
        const std::uint32_t count = last[COUNT_AT];
        const Nanos stamp = static_cast<Nanos>(last[STAMP_AT] | std::uint64_t{last[STAMP_AT + 1]} << 32);
        if (stamp >= judged) {
            delays.push_back(now - stamp);
            missed += count - seen - 1;
        }
        seen = count;
    }
    const double cpu = static_cast<double>(threadCpu() - std::max<Nanos>(cpuAtJudged, 0)) / (seconds * 1e9);
    writing.join();
    std::sort(delays.begin(), delays.end());
    const auto quantile = [&](double q) {
        return delays.empty()
                   ? 0.0
                   : static_cast<double>(delays[std::min(
                         delays.size() - 1, static_cast<std::size_t>(q * static_cast<double>(delays.size())))]) /
                         1000.0;
    };
    std::printf(
        "{\"writer\":\"%s\",\"hz\":%g,\"jitter_us\":%g,\"watcher\":\"%s\",\"poll_hz\":%g,\"seen\":%zu,\"missed\":%lld,"
        "\"p50_us\":%.1f,\"p99_us\":%.1f,\"max_us\":%.1f,\"cpu_percent\":%.2f,\"mode\":\"%s\"}\n",
        argv[1], hz, jitterUs, argv[5], pollHz, delays.size(), missed, quantile(0.5), quantile(0.99), quantile(1.0),
        100 * cpu, watcher.describe().c_str());
    return 0;
}
