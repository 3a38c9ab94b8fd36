// trackd-mirror publish: reads trackd's segments on the tracking host as trackd writes them, and sends
// each change, and a heartbeat while nothing changes, to the installation's render nodes.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <sstream>
#include <utility>

#include "announcement.h"
#include "changeWatcher.h"
#include "common.h"
#include "roles.h"
#include "segments.h"

namespace trackd_mirror {

namespace {

using namespace trackd_tools;
using std::chrono::milliseconds;

constexpr milliseconds HEARTBEAT_PERIOD{100};
constexpr milliseconds LOOKUP_PERIOD{100};                // how often a key is looked up again
constexpr milliseconds OTHER_PUBLISHER_WAIT{500};         // how long publish listens for a live publisher first
constexpr milliseconds LIVE_SPAN = 2 * HEARTBEAT_PERIOD;  // how long another publisher must be heard

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
          announcer_(Announcement::ofThisProcess(ROLE_PUBLISH, settings.common.name, settings.common.network,
                                                 key != nullptr ? key->id() : 0),
                     key),
          link_(static_cast<dds_domainid_t>(settings.common.domain), settings.common.network, settings.common.name),
          writer_(link_.writer()),
          others_(link_, link_.reader(true)),
          epoch_(randomEpoch()),
          startedAt_(wallClockNs()),
          watcher_(clock_, MonotonicClock::span(clockDuration(1 / settings.pollRate)), settings.steadyPoll),
          status_(settings.common.statusSeconds) {
        announcer_.start(link_.domainParticipant());
    }

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
        std::array<SegmentFollower, SEGMENT_COUNT> sources{SegmentFollower(TRACKER, settings_.common.trackerKey),
                                                           SegmentFollower(CONTROLLER, settings_.common.controllerKey)};
        std::array<Clock::time_point, SEGMENT_COUNT> lastSent{};
        // Every write is to be sent at once, also when other processes keep the machine busy.
        const bool realtime = raiseToRealtime();
        say("publishing installation \"" + settings_.common.name + "\" on domain " +
            std::to_string(settings_.common.domain) + " as epoch " + hex(epoch_) +
            (key_ != nullptr ? ", signed with key id " + keyIdText(key_->id()) : ", unsigned (no --auth-key)") +
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
                announcer_.update(link_.domainParticipant(), sources[TRACKER].size(), sources[CONTROLLER].size(),
                                  stats_.rate(), now);
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
            frame.keyId = key_->id();
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

    std::string statusText(const std::array<SegmentFollower, SEGMENT_COUNT>& sources) const {
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
    Announcer announcer_;
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
    checkInterface(settings.common.network);
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

}  // namespace

Role addPublish(CLI::App& app) {
    auto settings = std::make_shared<PublishSettings>();
    auto* command = app.add_subcommand("publish", "publish this host's segments (run beside trackd)");
    addCommonOptions(*command, settings->common);
    command
        ->add_option("--poll-rate", settings->pollRate,
                     "reads of the segments per second, 1 to 100000 (default 1000), while trackd's rhythm is not "
                     "known (or always, with --steady-poll)")
        ->check(finiteRange(1, 100000))
        ->type_name("HZ")
        ->group("Segments");
    command
        ->add_flag("--steady-poll", settings->steadyPoll,
                   "read at --poll-rate all the time, instead of sleeping until trackd's next write is due")
        ->group("Segments");
    return {command, [settings] { return publish(*settings); }};
}

}  // namespace trackd_mirror
