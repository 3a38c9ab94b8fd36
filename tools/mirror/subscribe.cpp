// trackd-mirror subscribe: makes the installation's segments on a render node and keeps them equal to
// the tracking host's, writing only the newest sound frame of one publisher at a time.
#include <array>
#include <memory>
#include <set>
#include <sstream>
#include <utility>

#include "common.h"
#include "roles.h"
#include "segments.h"

namespace trackd_mirror {

namespace {

using namespace trackd_tools;
using std::chrono::milliseconds;

constexpr milliseconds SILENCE_SHOWN_AFTER{500};
constexpr milliseconds WAIT_SLICE{100};  // the longest a subscriber waits before it looks at signals

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
    if (const std::string warning = modeWarning(settings.mode); !warning.empty()) say(warning);
    checkInterface(settings.common);
    const auto key = loadKey(settings.common);
    Subscriber subscriber(settings, key.get());
    const int status = subscriber.run();
    limitShutdown();
    return status;
}

}  // namespace

Role addSubscribe(CLI::App& app) {
    auto settings = std::make_shared<SubscribeSettings>();
    auto* command =
        app.add_subcommand("subscribe", "make the segments on this host and keep them equal to the source's");
    addCommonOptions(*command, settings->common);
    addModeOption(*command, settings->mode,
                  "permissions of the segments made here (default 0660: owner and group; readers need read and "
                  "write); a segment left with other permissions is made anew");
    command->add_flag("--remove-on-exit", settings->removeOnExit,
                      "remove the segments on exit (by default they stay for the applications attached)");
    return {command, [settings] { return subscribe(*settings); }};
}

}  // namespace trackd_mirror
