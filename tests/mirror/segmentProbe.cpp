// Looks at a segment from outside the library, for the mirror's tests: its bytes, its owner, group and mode,
// whether it stays still, or how the frame number trackd-sim writes into sensor 0's record moves while
// it is mirrored, or by an application that stays attached; and plays another local user who makes a segment, or writes
// into one once or on and on, or an administrator who mends a segment's permissions.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "trackdLayout.h"

namespace {

constexpr std::uint32_t FRAME_NUMBER_AT = trackd_layout::SENSOR_BYTES_READ;  // where trackd-sim counts frames

volatile std::sig_atomic_t stopped = 0;
void onStop(int) { stopped = 1; }
volatile std::sig_atomic_t asked = 0;
void onAsk(int) { asked = 1; }

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
        std::fprintf(stderr,
                     "usage: segmentProbe dump|stat|id|write|scribble KEY | segmentProbe watch|still KEY [SECONDS] | "
                     "segmentProbe make KEY SIZE MODE | segmentProbe chmod KEY MODE\n");
        return 2;
    }
    const std::string command = argv[1];
    const int key = static_cast<int>(std::strtol(argv[2], nullptr, 0));
    if (command == "make") {  // made and left behind, as by a process that has exited
        const int mode = argc > 4 ? static_cast<int>(std::strtol(argv[4], nullptr, 8)) : 0600;
        const auto bytes = static_cast<std::size_t>(std::strtoul(argc > 3 ? argv[3] : "1308", nullptr, 0));
        if (shmget(key, bytes, IPC_CREAT | IPC_EXCL | mode) >= 0) return 0;
        std::perror("shmget");
        return 1;
    }
    if (command == "chmod") {  // as the owner or root mends a segment's permissions
        const int id = shmget(key, 0, 0);
        shmid_ds info{};
        if (id >= 0 && shmctl(id, IPC_STAT, &info) == 0) {
            info.shm_perm.mode = static_cast<unsigned short>(std::strtol(argc > 3 ? argv[3] : "0660", nullptr, 8));
            if (shmctl(id, IPC_SET, &info) == 0) return 0;
        }
        std::perror("shmctl");
        return 1;
    }
    if (command == "scribble") {  // another user who attached while it could, writing x = 666 into sensor 0
        const int id = shmget(key, 0, 0);
        shmid_ds info{};
        void* address = id < 0 || shmctl(id, IPC_STAT, &info) != 0 ? reinterpret_cast<void*>(-1)  // NOLINT
                                                                   : shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {  // NOLINT
            std::printf("cannot write: %s\n", std::strerror(errno));
            return 1;
        }
        std::signal(SIGTERM, onStop);
        std::printf("scribbling\n");
        std::fflush(stdout);
        auto* base = static_cast<unsigned char*>(address);
        const std::uint32_t x = std::bit_cast<std::uint32_t>(666.0F);
        while (stopped == 0) {  // wherever sensor 0's record lies now, once a mirror has written the header
            const std::uint32_t record = trackd_layout::loadWord(base, trackd_layout::SENSOR_OFFSET_AT);
            if (record >= trackd_layout::TRACKER_HEADER_BYTES && record % 4 == 0 &&
                record + trackd_layout::X_AT + 4 <= info.shm_segsz)
                __atomic_store_n(reinterpret_cast<std::uint32_t*>(base + record + trackd_layout::X_AT), x,
                                 __ATOMIC_RELAXED);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return 0;
    }
    if (command == "follow") {  // an application attached through the library (read-write) and once more read-only
        const int id = shmget(key, 0, 0);
        shmid_ds info{};
        void* address = id < 0 || shmctl(id, IPC_STAT, &info) != 0 ? reinterpret_cast<void*>(-1)  // NOLINT
                                                                   : shmat(id, nullptr, 0);
        void* again = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, SHM_RDONLY);   // NOLINT
        if (address == reinterpret_cast<void*>(-1) || again == reinterpret_cast<void*>(-1)) {  // NOLINT
            std::printf("cannot attach: %s\n", std::strerror(errno));
            return 1;
        }
        std::signal(SIGTERM, onStop);
        std::signal(SIGUSR1, onAsk);
        std::printf("following id %d\n", id);
        std::fflush(stdout);
        const auto* base = static_cast<const unsigned char*>(address);
        while (stopped == 0) {  // on SIGUSR1, the frame number in sensor 0 as read now
            if (asked != 0) {
                asked = 0;
                const std::uint32_t record = trackd_layout::loadWord(base, trackd_layout::SENSOR_OFFSET_AT);
                if (static_cast<std::size_t>(record) + FRAME_NUMBER_AT + 4 > info.shm_segsz) return 1;
                std::printf("frame %u\n", trackd_layout::loadWord(base, record + FRAME_NUMBER_AT));
                std::fflush(stdout);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return 0;
    }
    if (command == "id") {
        const int id = shmget(key, 0, 0);
        if (id < 0) return 1;
        std::printf("%d\n", id);
        return 0;
    }
    if (command == "write") {  // as trackd's readers attach: read-write
        const int id = shmget(key, 0, 0);
        void* address = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);  // NOLINT
        if (address == reinterpret_cast<void*>(-1)) {                                  // NOLINT
            std::printf("cannot write: %s\n", std::strerror(errno));
            return 1;
        }
        static_cast<unsigned char*>(address)[trackd_layout::TRACKER_HEADER_BYTES] ^= 1;
        std::printf("wrote\n");
        return 0;
    }
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
    if (command == "stat") {
        shmid_ds info{};
        shmctl(shmget(key, 0, 0), IPC_STAT, &info);
        std::printf("uid %u gid %u cuid %u mode %04o size %zu\n", info.shm_perm.uid, info.shm_perm.gid,
                    info.shm_perm.cuid, info.shm_perm.mode & 0777U, static_cast<std::size_t>(info.shm_segsz));
        return 0;
    }
    // watch and still look for SECONDS, or until SIGTERM.
    std::signal(SIGTERM, onStop);
    const double seconds = argc > 3 ? std::strtod(argv[3], nullptr) : 3600;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const auto going = [&] { return stopped == 0 && std::chrono::steady_clock::now() < end; };
    if (command == "still") {  // how many of its reads differed from the first
        const std::vector<unsigned char> first(base, base + size);
        long long reads = 0;
        long long differed = 0;
        while (going()) {
            ++reads;
            if (std::memcmp(first.data(), base, size) != 0) ++differed;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::printf("reads %lld differed %lld\n", reads, differed);
        return 0;
    }
    // watch: every distinct frame number seen in sensor 0, and every step back to an older one.
    long long distinct = 0;
    long long backwards = 0;
    std::uint32_t last = 0;
    while (going()) {
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
