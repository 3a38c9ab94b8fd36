// Plays an attacker on the mirror's network: captures genuine frames of an installation, then sends a
// forged one, a replayed one, and frames of the wrong shape or installation, 50 ms apart.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ddsEntities.h"

using namespace trackd_mirror;

namespace {

struct Captured {
    std::string name;
    trackd_mirror_SegmentFrame frame{};
    std::vector<unsigned char> bytes, mac;
};

// Sends `original` with its fields changed by `change`, sharing nothing with the captured copy.
template <typename Change>
void send(const Entity& writer, const Captured& original, Change&& change) {
    Captured copy = original;
    change(copy);
    copy.frame.name = copy.name.data();
    copy.frame.bytes._buffer = copy.bytes.data();
    copy.frame.bytes._length = copy.frame.bytes._maximum = static_cast<std::uint32_t>(copy.bytes.size());
    copy.frame.mac._buffer = copy.mac.data();
    copy.frame.mac._length = copy.frame.mac._maximum = static_cast<std::uint32_t>(copy.mac.size());
    checked(dds_write(writer.get(), &copy.frame), "writing a frame");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: frameForger INSTALLATION INTERFACE\n");
        return 2;
    }
    const std::string installation = argv[1];
    Link link(0, NetworkChoice{argv[2], {}}, installation);
    FrameInbox inbox(link, link.reader(true));
    const Entity writer = link.writer();

    // Two genuine tracker frames of one publisher, the second newer than the first.
    std::vector<Captured> captured;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (captured.size() < 2 && std::chrono::steady_clock::now() < until) {
        inbox.wait(milliseconds(100));
        inbox.take([&](const trackd_mirror_SegmentFrame& frame) {
            if (frame.segment != 0 || captured.size() >= 2) return;
            if (!captured.empty() && captured[0].frame.epoch != frame.epoch) return;
            Captured c{frame.name,
                       frame,
                       {frame.bytes._buffer, frame.bytes._buffer + frame.bytes._length},
                       {frame.mac._buffer, frame.mac._buffer + frame.mac._length}};
            captured.push_back(c);
        });
    }
    if (captured.size() < 2) {
        std::fprintf(stderr, "frameForger: no genuine frames of installation %s arrived\n", argv[1]);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the subscriber has the newer one by now

    send(writer, captured[1], [](Captured& c) {  // forged: new bytes and a newer number under the old MAC
        c.bytes[40] ^= 0x40;
        c.frame.number += 1000;
    });
    send(writer, captured[0], [](Captured&) {});  // replayed: genuine, but older than one already written
    send(writer, captured[1], [](Captured& c) {   // shorter than a tracker segment
        c.bytes.resize(100);
        c.frame.size = 100;
        c.frame.number += 2000;
    });
    send(writer, captured[1], [](Captured& c) {  // a size that disagrees with the bytes
        c.frame.size += 4;
        c.frame.number += 3000;
    });
    send(writer, captured[1], [](Captured& c) {  // another installation's name in this one's partition
        c.name = "another-installation";
        c.frame.number += 4000;
    });
    std::printf("frameForger: sent 5 bad frames\n");
    return 0;
}
