// Looks at a segment from outside the library, for the mirror's tests: its bytes, or how the frame
// number trackd-sim writes into sensor 0's record moves while it is mirrored.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "trackdLayout.h"

namespace {

constexpr std::uint32_t FRAME_NUMBER_AT = trackd_layout::SENSOR_BYTES_READ;  // where trackd-sim counts frames

const unsigned char* attach(int key, std::size_t& size) {
    const int id = shmget(key, 0, 0);
    shmid_ds info{};
    if (id < 0 || shmctl(id, IPC_STAT, &info) != 0) return nullptr;
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) return nullptr;  // NOLINT(performance-no-int-to-ptr)
    size = info.shm_segsz;
    return static_cast<const unsigned char*>(address);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: segmentProbe dump KEY | segmentProbe watch KEY SECONDS\n");
        return 2;
    }
    const std::string command = argv[1];
    const int key = static_cast<int>(std::strtol(argv[2], nullptr, 0));
    std::size_t size = 0;
    const unsigned char* base = attach(key, size);
    if (base == nullptr) {
        std::printf("no segment\n");
        return 1;
    }
    if (command == "dump") {
        std::printf("%zu bytes:", size);
        for (std::size_t i = 0; i < size; ++i) std::printf("%02x", base[i]);
        std::printf("\n");
        return 0;
    }
    // watch: every distinct frame number seen in sensor 0, and every step back to an older one.
    const double seconds = argc > 3 ? std::strtod(argv[3], nullptr) : 1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    long long distinct = 0;
    long long backwards = 0;
    std::uint32_t last = 0;
    while (std::chrono::steady_clock::now() < end) {
        const std::uint32_t record = trackd_layout::loadWord(base, trackd_layout::SENSOR_OFFSET_AT);
        if (static_cast<std::size_t>(record) + FRAME_NUMBER_AT + 4 > size) return 1;
        const std::uint32_t frame = trackd_layout::loadWord(base, record + FRAME_NUMBER_AT);
        if (frame < last) ++backwards;
        if (frame != last) ++distinct;
        last = frame;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::printf("distinct %lld backwards %lld last %u\n", distinct, backwards, last);
    return 0;
}
