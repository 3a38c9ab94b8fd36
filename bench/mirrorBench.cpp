// The mirror benchmark's parts: a writer that stamps the time into a tracker segment, a reader that
// polls the copy of it on another host and collects the delays, and a raw UDP forwarder with the same
// polling, which gives the floor the mirror's DDS path is compared with.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "trackdLayout.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t RECORD_OFFSET = 36;
constexpr std::uint32_t RECORD_SIZE = 52;                             // as trackd-sim lays records out
constexpr std::uint32_t STAMP_AT = trackd_layout::SENSOR_BYTES_READ;  // the first byte readers skip
constexpr std::size_t LARGEST_DATAGRAM = 65507;
constexpr auto READER_PAUSE = std::chrono::microseconds(20);

std::int64_t wallNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

int createdId = -1;  // removed at exit, so that a run leaves nothing behind

void removeCreated() {
    if (createdId >= 0) shmctl(createdId, IPC_RMID, nullptr);
}

unsigned char* attach(int key, std::size_t size, bool create) {
    const int id = create ? shmget(key, size, IPC_CREAT | IPC_EXCL | 0600) : shmget(key, 0, 0);
    if (id < 0) return nullptr;
    if (create) {
        createdId = id;
        std::atexit(removeCreated);
    }
    void* address = shmat(id, nullptr, 0);
    return address == reinterpret_cast<void*>(-1) ? nullptr : static_cast<unsigned char*>(address);  // NOLINT
}

std::size_t segmentSize(int key) {
    shmid_ds info{};
    const int id = shmget(key, 0, 0);
    return id >= 0 && shmctl(id, IPC_STAT, &info) == 0 ? info.shm_segsz : 0;
}

void storeWord(unsigned char* base, std::size_t at, std::uint32_t value) {
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(base + at), value, __ATOMIC_RELAXED);
}

// Prints "count p50 p99 max" of `delays` in microseconds; fails when there are none.
int report(std::vector<std::int64_t>& delays) {
    if (delays.empty()) return 1;
    std::sort(delays.begin(), delays.end());
    const auto at = [&](double q) {
        const auto index =
            std::min(delays.size() - 1, static_cast<std::size_t>(q * static_cast<double>(delays.size())));
        return static_cast<double>(delays[index]) / 1000.0;
    };
    std::printf("%zu %.1f %.1f %.1f\n", delays.size(), at(0.5), at(0.99), at(1.0));
    return 0;
}

void pace(Clock::time_point& next, Clock::duration period) {
    next += period;
    std::this_thread::sleep_until(next);
}

// write KEY RATE SECONDS SENSORS [JITTER_US]: a tracker segment whose every record gets the time at RATE
// Hz. Without JITTER_US each write comes at a random moment of its period, so that no poller on the way
// stays in step with the writer; with it, on its tick moved by up to JITTER_US either way, as a tracker's.
int write(int key, double rate, double seconds, std::uint32_t sensors, double jitterUs) {
    const std::size_t size =
        std::max<std::size_t>(trackd_layout::TRACKER_SEGMENT_SIZE, RECORD_OFFSET + sensors * RECORD_SIZE);
    unsigned char* base = attach(key, size, true);
    if (base == nullptr) return 1;
    storeWord(base, trackd_layout::NUM_SENSORS_AT, sensors);
    storeWord(base, trackd_layout::SENSOR_OFFSET_AT, RECORD_OFFSET);
    storeWord(base, trackd_layout::SENSOR_SIZE_AT, RECORD_SIZE);
    std::printf("writing\n");
    std::fflush(stdout);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / rate));
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<Clock::rep> offset(0, period.count() - 1);
    const auto jitter = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(jitterUs * 1e-6));
    std::uniform_int_distribution<Clock::rep> shift(-jitter.count(), jitter.count());
    for (auto slot = Clock::now() + period; slot < end; slot += period) {
        std::this_thread::sleep_until(slot + Clock::duration(jitterUs < 0 ? offset(random) : shift(random)));
        const std::int64_t stamp = wallNs();
        for (std::uint32_t s = 0; s < sensors; ++s) {
            const std::size_t at = RECORD_OFFSET + s * RECORD_SIZE + STAMP_AT;
            storeWord(base, at, static_cast<std::uint32_t>(stamp));
            storeWord(base, at + 4, static_cast<std::uint32_t>(static_cast<std::uint64_t>(stamp) >> 32));
        }
    }
    return 0;
}

// latency KEY SECONDS: waits for the segment, then prints the delay of every new stamp seen in the
// last record, as "count p50 p99 max" in microseconds.
int latency(int key, double seconds) {
    unsigned char* base = nullptr;
    for (int tries = 0; base == nullptr && tries < 1000; ++tries) {
        if (segmentSize(key) > 0) base = attach(key, 0, false);
        if (base == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (base == nullptr) return 1;
    std::vector<std::int64_t> delays;
    std::int64_t last = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const std::uint32_t sensors = trackd_layout::loadWord(base, trackd_layout::NUM_SENSORS_AT);
        if (sensors > 0) {
            const std::size_t at = RECORD_OFFSET + (sensors - 1) * RECORD_SIZE + STAMP_AT;
            const std::int64_t stamp = static_cast<std::int64_t>(
                trackd_layout::loadWord(base, at) | std::uint64_t{trackd_layout::loadWord(base, at + 4)} << 32);
            if (stamp != last && stamp != 0) {
                delays.push_back(wallNs() - stamp);
                last = stamp;
            }
        }
        std::this_thread::sleep_for(READER_PAUSE);
    }
    return report(delays);
}

// ping-send ADDRESS PORT RATE SECONDS: datagrams carrying the time they were sent, RATE a second.
int pingSend(const char* address, int port, double rate, double seconds) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address, &to.sin_addr) != 1) return 1;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / rate));
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (auto next = Clock::now(); next < end; pace(next, period)) {
        const std::int64_t stamp = wallNs();
        sendto(fd, &stamp, sizeof stamp, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(fd);
    return 0;
}

// A UDP socket bound to PORT on every address, whose receives give up after 0.1 s; -1 on failure.
int receiver(int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    const timeval wait{0, 100'000};
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// ping-receive PORT SECONDS: the one-way delay of every datagram, as "count p50 p99 max" in microseconds.
int pingReceive(int port, double seconds) {
    const int fd = receiver(port);
    if (fd < 0) return 1;
    std::vector<std::int64_t> delays;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        std::int64_t stamp = 0;
        if (recv(fd, &stamp, sizeof stamp, 0) == static_cast<ssize_t>(sizeof stamp)) delays.push_back(wallNs() - stamp);
    }
    close(fd);
    return report(delays);
}

// forward-send KEY POLL_HZ ADDRESS PORT SECONDS: polls the segment and sends it whenever it changed.
int forwardSend(int key, double pollRate, const char* address, int port, double seconds) {
    const std::size_t size = segmentSize(key);
    const unsigned char* base = size > 0 ? attach(key, 0, false) : nullptr;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (base == nullptr || fd < 0 || size > LARGEST_DATAGRAM || inet_pton(AF_INET, address, &to.sin_addr) != 1)
        return 1;
    std::vector<unsigned char> copy(size), sent(size);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / pollRate));
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (auto next = Clock::now(); next < end; pace(next, period)) {
        for (std::size_t at = 0; at + 4 <= size; at += 4) {
            const std::uint32_t word = trackd_layout::loadWord(base, at);
            std::memcpy(copy.data() + at, &word, 4);
        }
        if (copy == sent) continue;
        sent = copy;
        sendto(fd, sent.data(), size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(fd);
    return 0;
}

// forward-receive KEY PORT SECONDS: makes the segment at the first datagram's size and copies each into it.
int forwardReceive(int key, int port, double seconds) {
    const int fd = receiver(port);
    if (fd < 0) return 1;
    std::vector<unsigned char> datagram(LARGEST_DATAGRAM);
    unsigned char* base = nullptr;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const ssize_t got = recv(fd, datagram.data(), datagram.size(), 0);
        if (got <= 0) continue;
        if (base == nullptr) base = attach(key, static_cast<std::size_t>(got), true);
        if (base == nullptr) return 1;
        for (std::size_t word = 0; word + 4 <= static_cast<std::size_t>(got); word += 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, datagram.data() + word, 4);
            storeWord(base, word, value);
        }
    }
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    prctl(PR_SET_TIMERSLACK, 1UL);  // sleeps end when asked, so that pauses do not blur the delays
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto number = [&](int i) { return std::atof(argv[i]); };
    const auto key = [&](int i) { return static_cast<int>(std::strtol(argv[i], nullptr, 0)); };
    if (mode == "write" && (argc == 6 || argc == 7))
        return write(key(2), number(3), number(4), static_cast<std::uint32_t>(number(5)), argc == 7 ? number(6) : -1);
    if (mode == "ping-send" && argc == 6) return pingSend(argv[2], static_cast<int>(number(3)), number(4), number(5));
    if (mode == "ping-receive" && argc == 4) return pingReceive(static_cast<int>(number(2)), number(3));
    if (mode == "latency" && argc == 4) return latency(key(2), number(3));
    if (mode == "forward-send" && argc == 7)
        return forwardSend(key(2), number(3), argv[4], static_cast<int>(number(5)), number(6));
    if (mode == "forward-receive" && argc == 5) return forwardReceive(key(2), static_cast<int>(number(3)), number(4));
    std::fprintf(stderr,
                 "usage: mirrorBench write KEY RATE SECONDS SENSORS [JITTER_US] | latency KEY SECONDS |\n"
                 "       ping-send ADDRESS PORT RATE SECONDS | ping-receive PORT SECONDS |\n"
                 "       forward-send KEY POLL_HZ ADDRESS PORT SECONDS | forward-receive KEY PORT SECONDS\n");
    return 2;
}
