// Plays an attacker on the mirror's network, as a DDS peer of its own: it captures an installation's
// genuine frames, replays them, relabels them, forges numbers, epochs and sizes, floods, and announces
// itself with malformed user data or with copies of a signed announcement.
// Usage: frameForger INSTALLATION INTERFACE READERS ATTACK [ARGUMENT]; `frameForger` alone lists the
// attacks. It sends nothing before READERS readers of the installation have discovered it.
#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ddsEntities.h"
#include "frames.h"

using namespace trackd_mirror;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto CAPTURE_WAIT = std::chrono::seconds(10);  // the longest wait for genuine frames
constexpr auto ACK_WAIT = std::chrono::seconds(30);      // the longest wait for the readers to take it all
constexpr std::size_t ALTERED_BYTE = 40;                 // inside sensor 0's position, in every tracker layout

// A frame owning its strings and bytes, which a DDS sample only borrows.
struct Frame {
    std::string name;
    trackd_mirror_SegmentFrame fields{};
    std::vector<unsigned char> bytes, mac;

    static Frame of(const trackd_mirror_SegmentFrame& sample) {
        return {sample.name,
                sample,
                {sample.bytes._buffer, sample.bytes._buffer + sample.bytes._length},
                {sample.mac._buffer, sample.mac._buffer + sample.mac._length}};
    }
    // A copy whose pose differs from the genuine one: what an attacker wants a node to show.
    Frame altered() const {
        Frame copy = *this;
        copy.bytes[ALTERED_BYTE] ^= 0x40;
        return copy;
    }
};

class Forger {
public:
    Forger(const std::string& installation, const std::string& interfaceName, std::uint32_t maxSampleBytes,
           const std::string& userData)
        : link_(0, NetworkChoice{interfaceName, {}, maxSampleBytes}, installation, userData),
          inbox_(link_, link_.reader(true)),
          writer_(link_.writer()) {}

    void send(Frame frame) const {
        frame.fields.name = frame.name.data();
        frame.fields.bytes._buffer = frame.bytes.data();
        frame.fields.bytes._length = frame.fields.bytes._maximum = static_cast<std::uint32_t>(frame.bytes.size());
        frame.fields.mac._buffer = frame.mac.data();
        frame.fields.mac._length = frame.fields.mac._maximum = static_cast<std::uint32_t>(frame.mac.size());
        checked(dds_write(writer_.get(), &frame.fields), "writing a frame");
    }

    // Calls `seen` with each genuine frame as it arrives, until it returns false; false if none came.
    bool watch(const std::function<bool(const Frame&)>& seen) const {
        const auto until = Clock::now() + CAPTURE_WAIT;
        bool going = true;
        bool any = false;
        while (going && Clock::now() < until) {
            inbox_.wait(milliseconds(100));
            inbox_.take([&](const trackd_mirror_SegmentFrame& sample) {
                if (!going) return;
                any = true;
                going = seen(Frame::of(sample));
            });
        }
        return any;
    }

    static void pause(std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }

    Frame newestTracker() const {
        Frame newest;
        if (!watch([&](const Frame& f) {
                if (f.fields.segment != TRACKER) return true;
                newest = f;
                return false;
            }))
            throw std::runtime_error("no genuine tracker frame arrived");
        return newest;
    }

    // Waits until `readers` readers have matched the writer, so that what is sent reaches them all.
    void awaitReaders(std::uint32_t readers) const {
        const auto until = Clock::now() + CAPTURE_WAIT;
        dds_publication_matched_status_t matched{};
        while (dds_get_publication_matched_status(writer_.get(), &matched) == 0 && matched.current_count < readers) {
            if (Clock::now() > until) throw std::runtime_error("the readers did not discover the forger");
            pause(milliseconds(10));
        }
    }

    // Waits until every reader has acknowledged what was sent.
    void finish() const { dds_wait_for_acks(writer_.get(), DDS_SECS(ACK_WAIT.count())); }

    // The user data of a participant that announces a signed trackd-mirror publisher.
    std::string signedPublisherAnnouncement() const {
        ParticipantWatch watch(link_.domainParticipant());
        const auto until = Clock::now() + CAPTURE_WAIT;
        while (Clock::now() < until) {
            for (const auto& seen : watch.participants()) {
                const auto object = nlohmann::json::parse(seen.userData, nullptr, false);
                if (object.is_object() && object.value("role", "") == "publish" && object.contains("keyId") &&
                    object.contains("mac"))
                    return seen.userData;
            }
            pause(milliseconds(50));
        }
        throw std::runtime_error("no signed publisher announced itself");
    }

private:
    Link link_;
    FrameInbox inbox_;
    Entity writer_;
};

// Frames kept as JSON Lines, each field by name and the byte sequences as arrays of numbers.
void save(const std::vector<Frame>& frames, const std::string& path) {
    std::ofstream out(path);
    for (const Frame& f : frames)
        out << nlohmann::json{{"name", f.name},
                              {"segment", f.fields.segment},
                              {"epoch", f.fields.epoch},
                              {"number", f.fields.number},
                              {"readTime", f.fields.readTime},
                              {"size", f.fields.size},
                              {"bytes", f.bytes},
                              {"keyId", f.fields.keyId},
                              {"mac", f.mac}}
            << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::vector<Frame> load(const std::string& path) {
    std::ifstream in(path);
    std::vector<Frame> frames;
    for (std::string line; std::getline(in, line);) {
        const auto j = nlohmann::json::parse(line);
        Frame f;
        f.name = j["name"];
        f.fields.segment = j["segment"];
        f.fields.epoch = j["epoch"];
        f.fields.number = j["number"];
        f.fields.readTime = j["readTime"];
        f.fields.size = j["size"];
        f.bytes = j["bytes"].get<std::vector<unsigned char>>();
        f.fields.keyId = j["keyId"];
        f.mac = j["mac"].get<std::vector<unsigned char>>();
        frames.push_back(std::move(f));
    }
    if (frames.empty()) throw std::runtime_error(path + " holds no frames");
    return frames;
}

std::uint64_t randomNumber() {
    std::uint64_t value = 0;
    randombytes_buf(&value, sizeof value);
    return value;
}

int usage() {
    std::fprintf(stderr,
                 "usage: frameForger INSTALLATION INTERFACE READERS ATTACK [ARGUMENT]\n"
                 "  bad               a forged, a replayed and three malformed frames, 50 ms apart\n"
                 "  capture FILE      every genuine frame of the next second, into FILE\n"
                 "  replay FILE       the frames of FILE again, in order, 1 ms apart, until stopped\n"
                 "  relabel N         N genuine tracker frames sent again as controller frames\n"
                 "  same-number N     N frames with the newest tracker frame's epoch and number, other bytes\n"
                 "  second-publisher  fresh tracker frames of a higher epoch, other bytes, 100 a second for 1 s\n"
                 "  ahead             one tracker frame of the live epoch numbered 2^64-2, other bytes\n"
                 "  flood N           N tracker frames, each with a new random epoch\n"
                 "  oversize BYTES    one tracker frame of BYTES bytes\n"
                 "  announce TEXT     nothing sent, but TEXT as its participant's user data, until stopped\n"
                 "  announce-copies N nothing sent, but N participants announcing copies of a signed publisher's\n"
                 "                    announcement (one exact, the others at 10.231.0.3), until stopped\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || sodium_init() < 0) return usage();
    const std::string installation = argv[1];
    const auto readers = static_cast<std::uint32_t>(std::stoul(argv[3]));
    const std::string attack = argv[4];
    const std::string argument = argc > 5 ? argv[5] : "";
    const auto count = [&] { return std::stoll(argument); };
    try {
        // Only the oversized frame needs a sender that Cyclone lets send more than a node takes in.
        const Forger forger(installation, argv[2],
                            attack == "oversize" ? std::numeric_limits<std::int32_t>::max() : MAX_SAMPLE_BYTES,
                            attack == "announce" ? argument : "");
        if (attack == "announce") {
            std::printf("frameForger announce: announcing until stopped\n");
            std::fflush(stdout);
            for (;;) Forger::pause(milliseconds(1000));
        }
        if (attack == "announce-copies") {
            // The first copy is the genuine announcement itself, signature and all, from another participant;
            // the others claim other processes, at 10.231.0.3, under its key id and signature.
            const std::string genuine = forger.signedPublisherAnnouncement();
            std::vector<Entity> participants;
            for (long long i = 0; i < count(); ++i) {
                auto copy = nlohmann::json::parse(genuine);
                if (i > 0) {
                    copy["pid"] = 100000 + i;
                    copy["addresses"] = {"10.231.0.3"};
                }
                const std::string text = i > 0 ? copy.dump() : genuine;
                const Qos qos;
                dds_qset_userdata(qos.get(), text.data(), text.size());
                participants.emplace_back(dds_create_participant(0, qos.get(), nullptr), "creating a participant");
            }
            std::printf("frameForger announce-copies: announcing %lld copies until stopped\n", count());
            std::fflush(stdout);
            for (;;) Forger::pause(milliseconds(1000));
        }
        forger.awaitReaders(readers);
        const auto pause = Forger::pause;
        long long sent = 0;
        if (attack == "bad") {
            // Two genuine tracker frames of one publisher, the second newer than the first.
            std::vector<Frame> genuine;
            forger.watch([&](const Frame& f) {
                if (f.fields.segment == TRACKER && (genuine.empty() || genuine[0].fields.epoch == f.fields.epoch))
                    genuine.push_back(f);
                return genuine.size() < 2;
            });
            if (genuine.size() < 2) throw std::runtime_error("no genuine frames arrived");
            pause(milliseconds(200));  // the subscriber has the newer one by now
            const auto sendChanged = [&](const Frame& original, const std::function<void(Frame&)>& change) {
                Frame copy = original;
                change(copy);
                forger.send(copy);
                ++sent;
                pause(milliseconds(50));
            };
            sendChanged(genuine[1].altered(), [](Frame& f) { f.fields.number += 1000; });  // forged under the old MAC
            sendChanged(genuine[0], [](Frame&) {});  // replayed: genuine, but older than one already written
            sendChanged(genuine[1], [](Frame& f) {   // shorter than a tracker segment
                f.bytes.resize(100);
                f.fields.size = 100;
                f.fields.number += 2000;
            });
            sendChanged(genuine[1], [](Frame& f) {  // a size that disagrees with the bytes
                f.fields.size += 4;
                f.fields.number += 3000;
            });
            sendChanged(genuine[1], [](Frame& f) {  // another installation's name in this one's partition
                f.name = "another-installation";
                f.fields.number += 4000;
            });
        } else if (attack == "capture") {
            std::vector<Frame> captured;
            const auto until = Clock::now() + std::chrono::seconds(1);
            forger.watch([&](const Frame& f) {
                captured.push_back(f);
                return Clock::now() < until;
            });
            save(captured, argument);
            sent = static_cast<long long>(captured.size());
        } else if (attack == "replay") {
            const std::vector<Frame> frames = load(argument);
            std::printf("frameForger replay: replaying %zu frames until stopped\n", frames.size());
            std::fflush(stdout);
            for (;;)
                for (const Frame& f : frames) {
                    forger.send(f);
                    ++sent;
                    pause(milliseconds(1));
                }
        } else if (attack == "relabel") {
            // A tracker frame numbered above every controller frame seen would be written as the controller
            // segment, were the segment left out of the MAC.
            std::uint64_t newestController = 0;
            forger.watch([&](const Frame& f) {
                if (f.fields.segment == CONTROLLER) {
                    newestController = std::max(newestController, f.fields.number);
                } else if (f.fields.number > newestController) {
                    Frame relabelled = f;
                    relabelled.fields.segment = CONTROLLER;
                    forger.send(relabelled);
                    ++sent;
                }
                return sent < count();
            });
        } else if (attack == "same-number") {
            forger.watch([&](const Frame& f) {
                if (f.fields.segment == TRACKER) {
                    forger.send(f.altered());
                    ++sent;
                }
                return sent < count();
            });
        } else if (attack == "second-publisher") {
            // Above the genuine epoch, so that by the two-publisher rule the forger, not the publisher, would stop.
            Frame forged = forger.newestTracker().altered();
            forged.fields.epoch += 1;
            forged.fields.number = 0;
            for (int i = 0; i < 100; ++i, ++sent) {
                ++forged.fields.number;
                forged.fields.readTime = wallClockNs();
                forger.send(forged);
                pause(milliseconds(10));
            }
        } else if (attack == "ahead") {
            Frame forged = forger.newestTracker().altered();
            forged.fields.number = std::numeric_limits<std::uint64_t>::max() - 1;
            forger.send(forged);
            sent = 1;
        } else if (attack == "flood") {
            Frame flood = forger.newestTracker();
            for (; sent < count(); ++sent) {
                flood.fields.epoch = randomNumber();
                flood.fields.number = 1;
                forger.send(flood);
            }
        } else if (attack == "oversize") {
            Frame big = forger.newestTracker();
            big.bytes.resize(static_cast<std::size_t>(count()));
            big.fields.size = static_cast<std::uint32_t>(big.bytes.size());
            big.fields.number += 1000;
            forger.send(big);
            sent = 1;
        } else {
            return usage();
        }
        forger.finish();
        std::printf("frameForger %s: sent %lld frames\n", attack.c_str(), sent);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "frameForger %s: %s\n", attack.c_str(), e.what());
        return 1;
    }
}
