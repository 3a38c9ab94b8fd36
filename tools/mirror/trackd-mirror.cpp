// trackd-mirror: publishes the tracking host's tracker and controller segments over Cyclone DDS, and on
// each render node recreates them under the same keys, byte for byte, for unmodified local readers.
#include <net/if.h>
#include <netdb.h>
#include <sodium.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "changeWatcher.h"
#include "ddsEntities.h"
#include "frames.h"
#include "options.h"

namespace {

using namespace trackd_tools;
using namespace trackd_mirror;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds HEARTBEAT_PERIOD{100};
constexpr milliseconds LOOKUP_PERIOD{100};                // how often a key is looked up again
constexpr milliseconds OTHER_PUBLISHER_WAIT{500};         // how long publish listens for a live publisher first
constexpr milliseconds LIVE_SPAN = 2 * HEARTBEAT_PERIOD;  // how long another publisher must be heard
constexpr milliseconds SILENCE_SHOWN_AFTER{500};
constexpr milliseconds BLOCKED_RETRY{1000};  // how often a key another process owns is looked at again
constexpr milliseconds WAIT_SLICE{100};      // the longest a subscriber waits before it looks at signals
constexpr int SETTLE_ATTEMPTS = 100;         // reads of a segment before a frame counts as unsettled
constexpr int DDS_DOMAIN_MAX = 232;          // the highest domain id DDSI's port mapping allows
constexpr std::size_t NAME_MAX_LENGTH = 64;
constexpr const char* TOOL = "trackd-mirror: ";

constexpr std::chrono::seconds SHUTDOWN_GRACE{3};
constexpr double TERMINAL_STATUS_SECONDS = 1;
constexpr double LOG_STATUS_SECONDS = 10;

volatile std::sig_atomic_t stopSignal = 0;
void onSignal(int signal) { stopSignal = signal; }

// A message on its own line, also when a status line is being refreshed in place on the terminal.
void say(const std::string& text) {
    if (isatty(STDERR_FILENO) != 0) std::cerr << "\r\033[K";
    std::cerr << TOOL << text << std::endl;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Cyclone's shutdown wakes its receive threads with a packet to itself, which never arrives when the
// interface has gone: once the segments are seen to, a shutdown that takes longer than SHUTDOWN_GRACE
// ends the process with a message and status 1.
void limitShutdown() {
    std::thread([] {
        std::this_thread::sleep_for(SHUTDOWN_GRACE);
        say("Cyclone DDS did not shut down within " + std::to_string(SHUTDOWN_GRACE.count()) +
            " s (has the network interface gone?); exiting without it");
        std::_Exit(EXIT_FAILURE_AT_RUN_TIME);
    }).detach();
}

// What both modes share on the command line.
struct Common {
    int trackerKey = DEFAULT_TRACKER_KEY;
    int controllerKey = DEFAULT_CONTROLLER_KEY;
    std::string name = "default";
    int domain = 0;
    NetworkChoice network;
    std::string authKeyPath;
    double statusSeconds = 0;  // 0: every second on a terminal, every 10 s otherwise
};

// Names that go into Cyclone's XML and into a DDS partition: no markup, no wildcards.
CLI::Validator plainName(const char* what, const char* extra) {
    return {[what, extra](const std::string& text) -> std::string {
                const bool plain =
                    !text.empty() && text.size() <= NAME_MAX_LENGTH &&
                    std::all_of(text.begin(), text.end(), [extra](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr(extra, c) != nullptr;
                    });
                if (plain) return {};
                return "'" + text + "' is not " + what + ": up to 64 letters, digits and " + extra;
            },
            ""};
}

// A peer as Cyclone DDS takes it: an IPv4 address, or a host name that resolves to one, and an optional
// :PORT. Anything else would leave Cyclone without the peer and the tool waiting for nothing.
CLI::Validator peerAddress() {
    return {[](const std::string& text) -> std::string {
                std::string host = text;
                std::string port;
                if (const auto colon = text.find(':'); colon != std::string::npos && colon == text.rfind(':')) {
                    host = text.substr(0, colon);
                    port = text.substr(colon + 1);
                }
                addrinfo hints{};
                hints.ai_family = AF_INET;
                hints.ai_socktype = SOCK_DGRAM;
                hints.ai_flags = AI_NUMERICSERV;
                addrinfo* found = nullptr;
                const int error =
                    host.empty() ? EAI_NONAME
                                 : getaddrinfo(host.c_str(), port.empty() ? nullptr : port.c_str(), &hints, &found);
                if (found != nullptr) freeaddrinfo(found);
                if (error == 0) return {};
                return "'" + text + "' is not an IPv4 address or a host name with one, with an optional :PORT (" +
                       gai_strerror(error) + ")";
            },
            ""};
}

void addCommonOptions(CLI::App& app, Common& common) {
    addKeyOption(app, "--tracker-key", common.trackerKey, "tracker segment key");
    addKeyOption(app, "--controller-key", common.controllerKey, "controller segment key");
    requireDistinctKeys(app, common.trackerKey, common.controllerKey);
    app.add_option("--name", common.name, "the installation's name; installations with other names never mix")
        ->check(plainName("an installation name", "-_."))
        ->type_name("NAME")
        ->capture_default_str();
    app.add_option("--domain", common.domain, "DDS domain")
        ->check(CLI::Range(0, DDS_DOMAIN_MAX))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--interface", common.network.interfaceName,
                   "the network interface to use (default: Cyclone DDS's choice, or CYCLONEDDS_URI)")
        ->check(plainName("an interface name", "-_.@"))
        ->type_name("IF");
    app.add_option("--peer", common.network.peers,
                   "a host to reach by unicast; turns multicast off (repeat for each host)")
        ->check(plainName("a host name or address", "-_.:"))
        ->check(peerAddress())
        ->type_name("ADDR");
    app.add_option("--auth-key", common.authKeyPath,
                   "a file of 32 random bytes that only its owner may read; frames are signed with it and "
                   "frames that fail it are dropped (trackd-mirror keygen FILE makes one)")
        ->type_name("FILE");
    app.add_option("--status-interval", common.statusSeconds,
                   "seconds between status lines (default: 1 on a terminal, where the line is rewritten in "
                   "place, and 10 otherwise)")
        ->check(clockSeconds());
}

// One line of status, refreshed in place on a terminal and written as a line of its own otherwise.
class StatusLine {
public:
    explicit StatusLine(double seconds)
        : terminal_(isatty(STDOUT_FILENO) != 0),
          period_(clockDuration(seconds > 0 ? seconds
                                : terminal_ ? TERMINAL_STATUS_SECONDS
                                            : LOG_STATUS_SECONDS)),
          next_(Clock::now() + period_) {}
    bool due(Clock::time_point now) const { return now >= next_; }
    void show(const std::string& text, Clock::time_point now) {
        next_ = now + period_;
        if (terminal_)
            std::cout << '\r' << text << "\033[K" << std::flush;
        else
            std::cout << text << std::endl;
    }
    void finish(const std::string& text) {
        if (terminal_)
            std::cout << '\r' << text << "\033[K\n";
        else
            std::cout << text << '\n';
        std::cout << std::flush;
    }

private:
    bool terminal_;
    Clock::duration period_;
    Clock::time_point next_;
};

// Frames counted in all and over the last second, and the latencies that went with them.
class SecondStats {
public:
    void frame(std::int64_t latencyNs) {
        frame();
        if (latencyNs >= 0) latencies_.push_back(latencyNs);
    }
    void frame() {
        ++frames_;
        ++total_;
    }
    // Closes the second that ended, once a second.
    void roll(Clock::time_point now) {
        if (now - start_ < std::chrono::seconds(1)) return;
        const double span = seconds(now - start_);
        rate_ = static_cast<double>(frames_) / span;
        std::sort(latencies_.begin(), latencies_.end());
        p50_ = latencies_.empty() ? -1 : latencies_[latencies_.size() / 2];
        p99_ = latencies_.empty() ? -1 : latencies_[std::min(latencies_.size() - 1, latencies_.size() * 99 / 100)];
        frames_ = 0;
        latencies_.clear();
        start_ = now;
    }
    std::string rateText() const {
        std::ostringstream out;
        out << std::llround(rate_) << " frames/s, " << total_ << " in all";
        return out.str();
    }
    std::string latencyText() const {
        if (p50_ < 0) return "latency -";
        std::ostringstream out;
        out << "latency p50 " << p50_ / 1000 << " µs p99 " << p99_ / 1000 << " µs";
        return out.str();
    }

private:
    long long frames_ = 0;
    long long total_ = 0;
    std::vector<std::int64_t> latencies_;
    Clock::time_point start_ = Clock::now();
    double rate_ = 0;
    std::int64_t p50_ = -1;
    std::int64_t p99_ = -1;
};

std::uint64_t randomEpoch() {
    std::uint64_t epoch = 0;
    randombytes_buf(&epoch, sizeof epoch);
    return epoch;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The key of --auth-key, or null without one.
std::unique_ptr<AuthKey> loadKey(const Common& common) {
    return common.authKeyPath.empty() ? nullptr : std::make_unique<AuthKey>(common.authKeyPath);
}

bool processRuns(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// A segment attached by id; detached on destruction and whenever another replaces it.
struct Attachment {
    Attachment() = default;
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    ~Attachment() { detach(); }
    void detach() {
        if (base != nullptr) shmdt(base);
        base = nullptr;
        id = -1;
        size = 0;
    }

    int id = -1;
    unsigned char* base = nullptr;
    std::uint32_t size = 0;
};

std::string segmentDescription(unsigned segment, int key) {
    return std::string(segmentName(segment)) + " segment under key " + keyText(key);
}

// ---------------------------------------------------------------------------------------------------
// publish

// One of trackd's segments, attached read-only by key and attached again when the key names another.
class SourceSegment {
public:
    SourceSegment(unsigned segment, int key) : segment_(segment), key_(key) {}

    // Looks the key up again; attaches what it names now and says what changed. True when the segment
    // attached is another than before.
    bool lookUp() {
        const int id = shmget(key_, 0, 0);
        if (id >= 0 && id == attached_.id) return false;
        if (id < 0) {
            if (attached_.base != nullptr)
                say(describe() + " is gone; waiting for it to come back");
            else if (notice_.empty())
                say("waiting for the " + describe() +
                    (errno == ENOENT ? "" : std::string(": ") + std::strerror(errno)));
            const bool wasAttached = attached_.base != nullptr;
            attached_.detach();
            notice_ = "waiting";
            return wasAttached;
        }
        attached_.detach();
        attached_.id = id;
        shmid_ds info{};
        if (shmctl(id, IPC_STAT, &info) != 0)
            return tell("cannot read the " + describe() + ": " + std::strerror(errno));
        if (info.shm_segsz < minimumSize(segment_) || info.shm_segsz > MAX_SEGMENT_BYTES)
            return tell("the " + describe() + " has " + std::to_string(info.shm_segsz) + " bytes, outside " +
                        std::to_string(minimumSize(segment_)) + " to 256 KiB; waiting for another");
        void* address = shmat(id, nullptr, SHM_RDONLY);
        if (address == reinterpret_cast<void*>(-1))  // NOLINT(performance-no-int-to-ptr): shmat's failure value
            return tell("cannot attach the " + describe() + ": " + std::strerror(errno));
        attached_.base = static_cast<unsigned char*>(address);
        attached_.size = static_cast<std::uint32_t>(info.shm_segsz);
        published_.clear();
        say("mirroring the " + describe() + " (id " + std::to_string(id) + ", " + std::to_string(attached_.size) +
            " bytes)");
        if ((info.shm_perm.mode & WORLD_WRITE_BIT) != 0)
            say("warning: the " + describe() + " has mode " + octalMode(info.shm_perm.mode) + ": " +
                WORLD_WRITABLE_RISK + ", and every render node shows what they write");
        notice_.clear();
        return true;
    }

    bool attached() const { return attached_.base != nullptr; }
    std::uint32_t size() const { return attached_.size; }

    // A copy to publish, or null when nothing changed and no heartbeat is due, or when the segment was
    // being written through SETTLE_ATTEMPTS successive reads (counted in `unsettled`).
    const std::vector<unsigned char>* poll(bool heartbeatDue, long long& unsettled) {
        copy(candidate_);
        if (!heartbeatDue && candidate_ == published_) return nullptr;
        for (int attempt = 0; attempt < SETTLE_ATTEMPTS; ++attempt) {
            copy(confirmation_);
            if (confirmation_ == candidate_) {
                published_.swap(candidate_);
                return &published_;
            }
            candidate_.swap(confirmation_);
        }
        ++unsettled;
        return nullptr;
    }

    std::string state() const {
        return std::string(segmentName(segment_)) +
               (attached() ? " " + std::to_string(attached_.size) + " B" : " waiting");
    }

private:
    std::string describe() const { return segmentDescription(segment_, key_); }

    bool tell(const std::string& notice) {
        if (notice != notice_) say(notice);
        notice_ = notice;
        return true;
    }

    // Copies every word with one load each, so that no word is torn.
    void copy(std::vector<unsigned char>& into) const {
        into.resize(attached_.size);
        std::uint32_t at = 0;
        for (; at + 4 <= attached_.size; at += 4) {
            const std::uint32_t word = trackd_layout::loadWord(attached_.base, at);
            std::memcpy(into.data() + at, &word, 4);
        }
        for (; at < attached_.size; ++at) into[at] = __atomic_load_n(attached_.base + at, __ATOMIC_RELAXED);
    }

    unsigned segment_;
    int key_;
    Attachment attached_;
    std::string notice_;
    std::vector<unsigned char> published_, candidate_, confirmation_;
};

struct PublishSettings {
    Common common;
    double pollRate = 1000;
    bool steadyPoll = false;
};

class Publisher {
public:
    Publisher(const PublishSettings& settings, const AuthKey* key)
        : settings_(settings),
          key_(key),
          link_(static_cast<dds_domainid_t>(settings.common.domain), settings.common.network, settings.common.name),
          writer_(link_.writer()),
          others_(link_, link_.reader(true)),
          epoch_(randomEpoch()),
          startedAt_(wallClockNs()),
          watcher_(clock_, MonotonicClock::span(clockDuration(1 / settings.pollRate)), settings.steadyPoll),
          status_(settings.common.statusSeconds) {}

    // Listens for a while for another live publisher of the same installation; true when there is none.
    bool aloneAtStart() {
        const auto until = Clock::now() + OTHER_PUBLISHER_WAIT;
        while (Clock::now() < until && stopSignal == 0 && !liveOther_) {
            others_.wait(milliseconds(50));
            watchOthers();
        }
        return !liveOther_;
    }

    int run() {
        std::array<SourceSegment, SEGMENT_COUNT> sources{SourceSegment(TRACKER, settings_.common.trackerKey),
                                                         SourceSegment(CONTROLLER, settings_.common.controllerKey)};
        std::array<Clock::time_point, SEGMENT_COUNT> lastSent{};
        // Every write is to be sent at once, also when other processes keep the machine busy.
        const bool realtime = raiseToRealtime();
        say("publishing installation \"" + settings_.common.name + "\" as epoch " + hex(epoch_) +
            (key_ != nullptr ? ", signed" : ", unsigned (no --auth-key)") +
            (realtime ? "" : "; without real-time priority (root or CAP_SYS_NICE), a busy host may delay frames"));
        // A look reads both segments and keeps what changed, to be sent once the watcher returns.
        std::array<const std::vector<unsigned char>*, SEGMENT_COUNT> changed{};
        const auto look = [&] {
            bool any = false;
            for (unsigned segment = 0; segment < SEGMENT_COUNT; ++segment)
                if (sources[segment].attached() && changed[segment] == nullptr) {
                    changed[segment] = sources[segment].poll(false, unsettled_);
                    any = any || changed[segment] != nullptr;
                }
            return any;
        };
        Clock::time_point nextLookup{};
        while (stopSignal == 0) {
            auto now = Clock::now();
            if (now >= nextLookup) {
                nextLookup = now + LOOKUP_PERIOD;
                for (auto& source : sources)
                    if (source.lookUp()) watcher_.restart();  // another segment: its writer's rhythm is learnt afresh
                watchOthers();
                if (liveOther_ && *liveOther_ < epoch_) {
                    say("another publisher (epoch " + hex(*liveOther_) + ") feeds installation \"" +
                        settings_.common.name + "\"; this one (epoch " + hex(epoch_) + ") stops");
                    return EXIT_FAILURE_AT_RUN_TIME;
                }
            }
            auto deadline = nextLookup;
            for (unsigned segment = 0; segment < SEGMENT_COUNT; ++segment)
                if (sources[segment].attached()) deadline = std::min(deadline, lastSent[segment] + HEARTBEAT_PERIOD);
            watcher_.watch(look, MonotonicClock::at(deadline));
            now = Clock::now();
            for (unsigned segment = 0; segment < SEGMENT_COUNT; ++segment) {
                if (!sources[segment].attached()) continue;
                // What changed goes now; a still segment goes again once a heartbeat is due.
                const auto* bytes = std::exchange(changed[segment], nullptr);
                if (bytes == nullptr && now - lastSent[segment] >= HEARTBEAT_PERIOD)
                    bytes = sources[segment].poll(true, unsettled_);
                if (bytes == nullptr) continue;
                send(segment, *bytes);
                lastSent[segment] = now;
            }
            stats_.roll(now);
            if (status_.due(now)) status_.show(statusText(sources), now);
        }
        status_.finish(statusText(sources));
        return 0;
    }

private:
    void send(unsigned segment, const std::vector<unsigned char>& bytes) {
        trackd_mirror_SegmentFrame frame{};
        frame.name = const_cast<char*>(settings_.common.name.c_str());  // NOLINT: the sample only borrows it
        frame.segment = static_cast<std::uint8_t>(segment);
        frame.epoch = epoch_;
        frame.number = ++number_;
        frame.readTime = wallClockNs();
        frame.size = static_cast<std::uint32_t>(bytes.size());
        frame.bytes._buffer = const_cast<unsigned char*>(bytes.data());  // NOLINT: the sample only borrows it
        frame.bytes._length = frame.bytes._maximum = frame.size;
        std::array<unsigned char, MAC_BYTES> mac{};
        if (key_ != nullptr) {
            mac = key_->mac(frame);
            frame.mac._buffer = mac.data();
            frame.mac._length = frame.mac._maximum = MAC_BYTES;
        }
        const dds_return_t result = dds_write(writer_.get(), &frame);
        if (result < 0) {
            ++failedWrites_;
            return;
        }
        stats_.frame();
    }

    // Notes another live publisher of this installation. Its frames must pass the checks a subscriber
    // makes and have been read since this one started: an older frame may be a dead publisher's, replayed
    // by anyone. And one epoch's frames must keep coming for LIVE_SPAN, so that neither a stray frame nor
    // a flood of invented epochs stops this publisher; one candidate at a time is all it keeps.
    void watchOthers() {
        const auto wallNow = wallClockNs();
        const auto now = Clock::now();
        others_.take([&](const trackd_mirror_SegmentFrame& frame) {
            if (liveOther_ || frame.epoch == epoch_ || frame.readTime <= startedAt_ ||
                frameProblem(frame, settings_.common.name, key_, wallNow) != nullptr)
                return;
            if (frame.epoch != candidateEpoch_ || candidateSince_ == Clock::time_point{}) {
                candidateEpoch_ = frame.epoch;
                candidateSince_ = now;
            } else if (now - candidateSince_ >= LIVE_SPAN) {
                liveOther_ = frame.epoch;
                say("another publisher, epoch " + hex(frame.epoch) + ", feeds installation \"" + settings_.common.name +
                    "\"");
            }
        });
    }

    std::string statusText(const std::array<SourceSegment, SEGMENT_COUNT>& sources) const {
        dds_publication_matched_status_t matched{};
        dds_get_publication_matched_status(writer_.get(), &matched);
        std::ostringstream out;
        out << "publish \"" << settings_.common.name << "\": " << sources[TRACKER].state() << ", "
            << sources[CONTROLLER].state() << "; " << stats_.rateText() << ", " << watcher_.describe() << ", unsettled "
            << unsettled_ << ", send errors " << failedWrites_ << ", readers " << matched.current_count;
        return out.str();
    }

    const PublishSettings& settings_;
    const AuthKey* key_;
    Link link_;
    Entity writer_;
    FrameInbox others_;
    std::uint64_t epoch_;
    std::int64_t startedAt_;  // wall clock, as frames carry it
    std::uint64_t number_ = 0;
    std::uint64_t candidateEpoch_ = 0;  // another publisher's, heard since candidateSince_
    Clock::time_point candidateSince_{};
    std::optional<std::uint64_t> liveOther_;
    MonotonicClock clock_;
    ChangeWatcher<MonotonicClock> watcher_;
    long long unsettled_ = 0;
    long long failedWrites_ = 0;
    SecondStats stats_;
    StatusLine status_;
};

int publish(const PublishSettings& settings) {
    const auto key = loadKey(settings.common);
    Publisher publisher(settings, key.get());
    if (!publisher.aloneAtStart()) {
        say("refusing to start: stop the other publisher first, or give this installation another --name");
        limitShutdown();
        return EXIT_FAILURE_AT_RUN_TIME;
    }
    const int status = publisher.run();
    limitShutdown();
    return status;
}

// ---------------------------------------------------------------------------------------------------
// subscribe

// A segment on this host that the subscriber writes into: created by it, or adopted from an earlier
// subscriber of this user with these permissions, but never one that another live process made.
class LocalSegment {
public:
    LocalSegment(unsigned segment, int key, int mode) : segment_(segment), key_(key), mode_(mode) {}

    // Makes the segment ready for `size` bytes; false while the key belongs to another live process.
    bool prepare(std::uint32_t size) {
        if (attached_.base != nullptr && size == attached_.size) return true;
        const auto now = Clock::now();
        if (attached_.base == nullptr && blocked_ && now - lastTry_ < BLOCKED_RETRY) return false;
        lastTry_ = now;
        if (attached_.base != nullptr) {
            say("the source's " + std::string(segmentName(segment_)) + " segment changed size from " +
                std::to_string(attached_.size) + " to " + std::to_string(size) +
                " bytes: making it anew (readers attached to the old one see it frozen)");
            shmctl(attached_.id, IPC_RMID, nullptr);
            attached_.detach();
        }
        blocked_ = !takeKey(size);
        return !blocked_;
    }

    // Writes the records first and the header words last, each 32-bit word with one store, so that a
    // reader never sees a torn word and finds the records of any count it sees.
    void write(const unsigned char* bytes) {
        const std::uint32_t header = headerBytes(segment_);
        store(bytes, header, attached_.size);
        __atomic_thread_fence(__ATOMIC_RELEASE);
        store(bytes, 0, header);
    }

    // Notices a segment removed under it (ipcrm) or replaced, so that the next frame makes it anew.
    void check() {
        if (attached_.base == nullptr) return;
        shmid_ds info{};
        if (shmget(key_, 0, 0) == attached_.id && shmctl(attached_.id, IPC_STAT, &info) == 0 &&
            (info.shm_perm.mode & SHM_DEST) == 0)
            return;
        say("the " + describe() + " was removed or replaced by someone else; making it anew with the next frame");
        attached_.detach();
    }

    void finish(bool remove) {
        if (remove && attached_.base != nullptr) shmctl(attached_.id, IPC_RMID, nullptr);
        attached_.detach();
    }

    std::string state() const {
        return std::string(segmentName(segment_)) + (attached_.base != nullptr
                                                         ? " " + std::to_string(attached_.size) + " B"
                                                     : blocked_ ? " blocked"
                                                                : " waiting");
    }

private:
    std::string describe() const { return segmentDescription(segment_, key_); }

    bool takeKey(std::uint32_t size) {
        const int existing = shmget(key_, 0, 0);
        if (existing >= 0) {
            shmid_ds info{};
            if (shmctl(existing, IPC_STAT, &info) != 0)
                return refuse("cannot read the " + describe() + ": " + std::strerror(errno));
            if (info.shm_cpid != getpid() && processRuns(info.shm_cpid))
                return refuse("the " + describe() + " (id " + std::to_string(existing) + ") belongs to process " +
                              std::to_string(info.shm_cpid) +
                              ", which still runs: a local trackd, simulator or subscriber; not writing into it. "
                              "Stop that process, or mirror into other keys");
            const std::string why = notAdoptable(info, size);
            if (why.empty()) {
                if (!attach(existing)) return false;
                say("adopted the " + describe() + " (id " + std::to_string(existing) +
                    ") that an earlier subscriber left");
                return true;
            }
            say("removing the " + describe() + " (id " + std::to_string(existing) + ") left behind " + why +
                "; making it anew");
            if (shmctl(existing, IPC_RMID, nullptr) != 0)
                return refuse("cannot remove the " + describe() + " (id " + std::to_string(existing) +
                              "): " + std::strerror(errno) + "; its owner or root can (ipcrm -m " +
                              std::to_string(existing) + ")");
        }
        const int id = shmget(key_, size, IPC_CREAT | IPC_EXCL | mode_);
        if (id < 0) return refuse("cannot make the " + describe() + ": " + std::strerror(errno));
        if (!attach(id)) return false;
        say("made the " + describe() + " (id " + std::to_string(id) + ", " + std::to_string(size) + " bytes, mode " +
            octalMode(static_cast<unsigned>(mode_)) + ")");
        return true;
    }

    // Why a segment left under the key must not be written as it is, or empty when it may be adopted: it
    // must be this user's own, made by this user, with --mode's permissions, so that whoever else could
    // write into it before cannot write into it now; and it must have the size of the frame.
    std::string notAdoptable(const shmid_ds& info, std::uint32_t size) const {
        const uid_t self = geteuid();
        if (info.shm_perm.cuid != self || info.shm_perm.uid != self)
            return "by another user (made by uid " + std::to_string(info.shm_perm.cuid) + ", owned by uid " +
                   std::to_string(info.shm_perm.uid) + "; this subscriber runs as uid " + std::to_string(self) + ")";
        const unsigned mode = info.shm_perm.mode & 0777U;
        if (mode != static_cast<unsigned>(mode_))
            return "with mode " + octalMode(mode) + ", not --mode " + octalMode(static_cast<unsigned>(mode_));
        if (info.shm_segsz != size)
            return "with " + std::to_string(info.shm_segsz) + " bytes, not the " + std::to_string(size) +
                   " of the source";
        return {};
    }

    bool attach(int id) {
        void* address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1))  // NOLINT(performance-no-int-to-ptr): shmat's failure value
            return refuse("cannot attach the " + describe() + " to write into it: " + std::strerror(errno));
        shmid_ds info{};
        shmctl(id, IPC_STAT, &info);
        attached_.base = static_cast<unsigned char*>(address);
        attached_.id = id;
        attached_.size = static_cast<std::uint32_t>(info.shm_segsz);
        refusal_.clear();
        return true;
    }

    bool refuse(const std::string& why) {
        if (why != refusal_) say(why);
        refusal_ = why;
        return false;
    }

    void store(const unsigned char* bytes, std::uint32_t from, std::uint32_t to) {
        std::uint32_t at = from;
        for (; at + 4 <= to; at += 4) {
            std::uint32_t word = 0;
            std::memcpy(&word, bytes + at, 4);
            auto* target = reinterpret_cast<std::uint32_t*>(attached_.base + at);
            if (__atomic_load_n(target, __ATOMIC_RELAXED) != word) __atomic_store_n(target, word, __ATOMIC_RELAXED);
        }
        for (; at < to; ++at) __atomic_store_n(attached_.base + at, bytes[at], __ATOMIC_RELAXED);
    }

    unsigned segment_;
    int key_;
    int mode_;
    Attachment attached_;
    bool blocked_ = false;
    Clock::time_point lastTry_{};
    std::string refusal_;
};

struct SubscribeSettings {
    Common common;
    int mode = 0660;
    bool removeOnExit = false;
};

class Subscriber {
public:
    Subscriber(const SubscribeSettings& settings, const AuthKey* key)
        : settings_(settings),
          key_(key),
          link_(static_cast<dds_domainid_t>(settings.common.domain), settings.common.network, settings.common.name),
          inbox_(link_, link_.reader(false)),
          local_{LocalSegment(TRACKER, settings.common.trackerKey, settings.mode),
                 LocalSegment(CONTROLLER, settings.common.controllerKey, settings.mode)},
          follower_(key != nullptr),
          status_(settings.common.statusSeconds) {}

    int run() {
        say("subscribing to installation \"" + settings_.common.name + "\"" +
            (key_ != nullptr ? ", accepting signed frames only" : ", unsigned (no --auth-key)"));
        auto nextCheck = Clock::now() + BLOCKED_RETRY;
        while (stopSignal == 0) {
            inbox_.wait(WAIT_SLICE);
            inbox_.take([this](const trackd_mirror_SegmentFrame& frame) { accept(frame); },
                        [this] { writeAccepted(); });
            const auto now = Clock::now();
            if (now >= nextCheck) {
                nextCheck = now + BLOCKED_RETRY;
                for (auto& segment : local_) segment.check();
            }
            stats_.roll(now);
            if (status_.due(now)) status_.show(statusText(now), now);
        }
        status_.finish(statusText(Clock::now()));
        for (auto& segment : local_) segment.finish(settings_.removeOnExit);
        return 0;
    }

private:
    void accept(const trackd_mirror_SegmentFrame& frame) {
        const auto now = Clock::now();
        if (const char* problem = frameProblem(frame, settings_.common.name, key_, wallClockNs())) {
            ++refused_;
            sayOnce(problem, std::string("refusing frames: ") + problem);
            return;
        }
        switch (follower_.judge(frame, now)) {
            case PublisherFollower::Verdict::OTHER_PUBLISHER:
                ++refused_;
                sayOnce(&follower_, "ignoring a second publisher of installation \"" + settings_.common.name +
                                        "\" (epoch " + hex(frame.epoch) + ") while epoch " + hex(follower_.epoch()) +
                                        " is live; its frames are counted as refused");
                return;
            case PublisherFollower::Verdict::STALE:
                ++stale_;
                return;
            case PublisherFollower::Verdict::WRITE:
                break;
        }
        if (follower_.takeChanged()) say("following the publisher with epoch " + hex(frame.epoch));
        lastFrame_ = now;
        accepted_[frame.segment] = &frame;
    }

    // Writes each segment's newest accepted frame of the batch just taken: those before it are history,
    // and a subscriber that fell behind goes on from the newest, never working through a backlog.
    void writeAccepted() {
        for (unsigned segment = 0; segment < SEGMENT_COUNT; ++segment) {
            const trackd_mirror_SegmentFrame* frame = std::exchange(accepted_[segment], nullptr);
            if (frame == nullptr || !local_[segment].prepare(frame->size)) continue;
            local_[segment].write(frame->bytes._buffer);
            stats_.frame(wallClockNs() - frame->readTime);
        }
    }

    // Says `text` the first time `reason`, a static string or object, comes up; later ones are counted.
    void sayOnce(const void* reason, const std::string& text) {
        if (said_.insert(reason).second) say(text);
    }

    std::string statusText(Clock::time_point now) const {
        std::ostringstream out;
        out << "subscribe \"" << settings_.common.name << "\": " << local_[TRACKER].state() << ", "
            << local_[CONTROLLER].state() << "; " << stats_.rateText() << ", " << stats_.latencyText() << ", stale "
            << stale_ << ", refused " << refused_;
        const auto silence = now - lastFrame_;
        if (silence > SILENCE_SHOWN_AFTER) {
            char text[64];
            if (lastFrame_ == Clock::time_point{})
                std::snprintf(text, sizeof text, ", source silent since start");
            else
                std::snprintf(text, sizeof text, ", source silent for %.1f s", seconds(silence));
            out << text;
        }
        return out.str();
    }

    const SubscribeSettings& settings_;
    const AuthKey* key_;
    Link link_;
    FrameInbox inbox_;
    std::array<LocalSegment, SEGMENT_COUNT> local_;
    PublisherFollower follower_;
    std::array<const trackd_mirror_SegmentFrame*, SEGMENT_COUNT> accepted_{};  // in the batch being taken
    Clock::time_point lastFrame_{};
    long long refused_ = 0;
    long long stale_ = 0;
    std::set<const void*> said_;  // as many as there are reasons, however many senders there are
    SecondStats stats_;
    StatusLine status_;
};

int subscribe(const SubscribeSettings& settings) {
    const auto key = loadKey(settings.common);
    Subscriber subscriber(settings, key.get());
    const int status = subscriber.run();
    limitShutdown();
    return status;
}

// ---------------------------------------------------------------------------------------------------
// keygen

int keygen(const std::string& path) {
    std::array<unsigned char, crypto_auth_KEYBYTES> key{};
    crypto_auth_keygen(key.data());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot make the key file " + path + ": " + std::strerror(errno));
    const bool written = ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
    const bool closed = close(fd) == 0;
    sodium_memzero(key.data(), key.size());
    if (!written || !closed) {
        unlink(path.c_str());
        throw std::runtime_error("cannot write the key file " + path);
    }
    std::cout << "wrote a new key to " << path << "; copy it, mode 0600, to the tracking host and every render node\n";
    return 0;
}

void checkInterface(const Common& common) {
    const auto& name = common.network.interfaceName;
    if (!name.empty() && if_nametoindex(name.c_str()) == 0)
        throw std::runtime_error("no network interface named " + name + " on this host (ip link lists them)");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Carries trackd's tracker and controller segments from the tracking host to render nodes over "
        "Cyclone DDS.\nRun `publish` where trackd runs and `subscribe` on each render node; local "
        "applications there read the mirrored segments through ZoravoVAR as if trackd ran there.",
        "trackd-mirror"};
    addVersion(app, "trackd-mirror");
    app.require_subcommand(1);

    PublishSettings publishSettings;
    auto* publishCommand = app.add_subcommand("publish", "publish this host's segments (run beside trackd)");
    addCommonOptions(*publishCommand, publishSettings.common);
    publishCommand
        ->add_option("--poll-rate", publishSettings.pollRate,
                     "reads of the segments per second while trackd's rhythm is not known (or with --steady-poll)")
        ->check(finiteRange(1, 100000))
        ->capture_default_str();
    publishCommand->add_flag("--steady-poll", publishSettings.steadyPoll,
                             "read at --poll-rate all the time, instead of sleeping until trackd's next write is due");

    SubscribeSettings subscribeSettings;
    auto* subscribeCommand =
        app.add_subcommand("subscribe", "make the segments on this host and keep them equal to the source's");
    addCommonOptions(*subscribeCommand, subscribeSettings.common);
    addModeOption(*subscribeCommand, subscribeSettings.mode,
                  "permissions of the segments made here (default 0660: owner and group; readers need read and "
                  "write); a segment left with other permissions is made anew");
    subscribeCommand->add_flag("--remove-on-exit", subscribeSettings.removeOnExit,
                               "remove the segments on exit (by default they stay for the applications attached)");

    std::string keyPath;
    auto* keygenCommand = app.add_subcommand("keygen", "write a new random key for --auth-key, mode 0600");
    keygenCommand->add_option("FILE", keyPath, "the key file to make; it must not exist")->required();

    if (const int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    if (subscribeCommand->parsed())
        if (const std::string warning = modeWarning(subscribeSettings.mode); !warning.empty()) say(warning);

    for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);
    try {
        if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
        if (keygenCommand->parsed()) return keygen(keyPath);
        if (publishCommand->parsed()) {
            checkInterface(publishSettings.common);
            return publish(publishSettings);
        }
        checkInterface(subscribeSettings.common);
        return subscribe(subscribeSettings);
    } catch (const std::exception& e) {
        say(e.what());
        return EXIT_FAILURE_AT_RUN_TIME;
    }
}
