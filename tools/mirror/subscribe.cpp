// trackd-mirror subscribe: makes the installation's segments on a render node and keeps them equal to
// the tracking host's, writing only the newest sound frame of one publisher at a time.
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "announcement.h"
#include "common.h"
#include "mirrorStatus.h"
#include "roles.h"
#include "segments.h"

namespace trackd_mirror {

namespace {

using namespace trackd_tools;
using std::chrono::milliseconds;

constexpr milliseconds SILENCE_SHOWN_AFTER{500};
constexpr milliseconds REFUSING_SHOWN_FOR{2000};  // how long after a refusal the status says frames are refused
constexpr milliseconds SILENCE_EXPLAINED_AFTER{2000};
constexpr milliseconds STATUS_FILE_PERIOD{1000};  // the status file's refusal time, renewed at most this often
constexpr milliseconds WAIT_SLICE{100};           // the longest a subscriber waits before it looks at signals
constexpr std::size_t VISIBLE_NAMED = 8;          // installations a message names at most

constexpr const char* SIGNED_UNCHECKED =
    "the publisher signs its frames; start with --auth-key to check them: until then anyone on the network can "
    "change this node's segments";

struct SubscribeSettings {
    Common common;
    int mode = 0660;
    std::optional<gid_t> group;
    bool removeOnExit = false;

    SegmentGroup segmentGroup() const { return {group.value_or(getegid()), group.has_value()}; }
};

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

class Subscriber {
public:
    Subscriber(const SubscribeSettings& settings, const AuthKey* key)
        : settings_(settings),
          key_(key),
          announcer_(Announcement::ofThisProcess(ROLE_SUBSCRIBE, settings.common.name, settings.common.network,
                                                 key != nullptr ? key->id() : 0),
                     key),
          link_(static_cast<dds_domainid_t>(settings.common.domain), settings.common.network, settings.common.name),
          inbox_(link_, link_.reader(false)),
          watch_(link_.domainParticipant()),
          local_{LocalSegment(TRACKER, settings.common.trackerKey, settings.mode, settings.segmentGroup()),
                 LocalSegment(CONTROLLER, settings.common.controllerKey, settings.mode, settings.segmentGroup())},
          follower_(key != nullptr),
          status_(settings.common.statusSeconds) {
        announcer_.start(link_.domainParticipant());
        statusFile_.name = settings.common.name;
        statusFile_.trackerKey = settings.common.trackerKey;
        statusFile_.controllerKey = settings.common.controllerKey;
        statusFile_.pid = getpid();
        const char* unit = std::getenv(MIRROR_UNIT_VARIABLE);
        statusFile_.unit = unit != nullptr ? unit : "";
    }

    int run() {
        say("subscribing to installation \"" + settings_.common.name + "\" on domain " +
            std::to_string(settings_.common.domain) +
            (key_ != nullptr ? ", accepting only frames signed with key id " + keyIdText(key_->id())
                             : ", unsigned (no --auth-key)"));
        auto nextCheck = Clock::now() + BLOCKED_RETRY;
        lastHeard_ = Clock::now();
        while (stopSignal == 0) {
            inbox_.wait(WAIT_SLICE);
            inbox_.take([this](const trackd_mirror_SegmentFrame& frame) { accept(frame); },
                        [this] { writeAccepted(); });
            const auto now = Clock::now();
            if (now >= nextCheck) {
                nextCheck = now + BLOCKED_RETRY;
                for (auto& segment : local_) segment.check();
                announcer_.update(link_.domainParticipant(), local_[TRACKER].size(), local_[CONTROLLER].size(),
                                  stats_.rate(), now);
                watch_.refresh();
            }
            if (!silenceExplained_ && now - lastHeard_ >= SILENCE_EXPLAINED_AFTER) {
                explainSilence();
                silenceExplained_ = true;
            }
            stats_.roll(now);
            if (status_.due(now)) status_.show(statusText(now), now);
            leaveStatus(stateText(now), now);
        }
        status_.finish(statusText(Clock::now()));
        leaveStatus("stopped", Clock::now());
        for (auto& segment : local_) segment.finish(settings_.removeOnExit);
        return 0;
    }

private:
    void accept(const trackd_mirror_SegmentFrame& frame) {
        const auto now = Clock::now();
        lastHeard_ = now;
        silenceExplained_ = false;
        if (const char* problem = frameProblem(frame, settings_.common.name, key_, wallClockNs())) {
            refuse(problem, now);
            sayOnce(problem, std::string("refusing frames: ") + problem);
            return;
        }
        if (key_ == nullptr && frame.mac._length != 0) {
            ++unchecked_;
            sayOnce(SIGNED_UNCHECKED, SIGNED_UNCHECKED);
        }
        switch (follower_.judge(frame, now)) {
            case PublisherFollower::Verdict::OTHER_PUBLISHER:
                refuse("a second publisher is live", now);
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
        refusedSinceFrame_ = 0;
        accepted_[frame.segment] = &frame;
    }

    void refuse(const char* reason, Clock::time_point now) {
        if (lastReason_ != reason || now - lastRefusal_ >= STATUS_FILE_PERIOD) lastRefusalWall_ = std::time(nullptr);
        ++refused_;
        ++refusedSinceFrame_;
        lastRefusal_ = now;
        lastReason_ = reason;
    }

    // Says, once nothing has come for a while, what discovery shows: the publisher of this installation
    // and what it waits for, or which installations are there instead. With a key, only announcements
    // signed with it are taken for this installation's publisher: anyone can announce one.
    void explainSilence() {
        const Visible visible = visibleOnDomain(watch_, key_);
        const auto& name = settings_.common.name;
        std::vector<const Announcement*> others;
        for (const auto& mirror : visible.mirrors) {
            if (mirror.role != ROLE_PUBLISH) continue;
            if (mirror.name != name) {
                others.push_back(&mirror);
                continue;
            }
            if (key_ != nullptr && mirror.trust != Trust::VERIFIED) continue;
            const std::string publisher =
                "the publisher of installation \"" + name + "\" on " + printable(mirror.where());
            if (mirror.trackerBytes == 0 && mirror.controllerBytes == 0)
                say(publisher + " runs, and waits for trackd's segments there");
            else
                say(publisher +
                    " runs, yet none of its frames arrive: has it stalled (stopped, or starved of CPU there; its "
                    "status line shows whether it sends)? Do the firewalls between the hosts pass UDP ports " +
                    portRange(settings_.common.domain) + "?");
            return;
        }
        std::string text = "no publisher named " + name;
        if (others.empty()) {
            say(text + " on domain " + std::to_string(settings_.common.domain) +
                ", and none visible: is it running, on this --domain and network (--interface, --peer), and do the "
                "firewalls pass UDP ports " +
                portRange(settings_.common.domain) + "?");
            return;
        }
        text += "; visible: ";
        bool caseOnly = false;
        for (std::size_t i = 0; i < others.size() && i < VISIBLE_NAMED; ++i) {
            text += (i > 0 ? ", " : "") + printable(others[i]->name) + " on " + printable(others[i]->where());
            caseOnly = caseOnly || sameIgnoringCase(others[i]->name, name);
        }
        if (others.size() > VISIBLE_NAMED) text += " and " + std::to_string(others.size() - VISIBLE_NAMED) + " more";
        if (caseOnly) text += " (names are case-sensitive)";
        say(text);
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

    // What the status file says the subscriber does.
    std::string stateText(Clock::time_point now) const {
        const bool silent = lastFrame_ == Clock::time_point{} || now - lastFrame_ > SILENCE_SHOWN_AFTER;
        if (silent && refusedSinceFrame_ > 0) return "refusing frames";
        if (lastFrame_ == Clock::time_point{}) return "waiting for frames";
        return silent ? "waiting: the source is silent" : "writing frames";
    }

    // Leaves the state for this host's readers when it changed, the last refusal's time at most once a
    // period; says once when it cannot, and goes on without.
    void leaveStatus(const std::string& state, Clock::time_point now) {
        if (!statusWritable_) return;
        char when[32] = "";
        if (refused_ > 0) {
            std::tm utc{};
            gmtime_r(&lastRefusalWall_, &utc);
            std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        }
        const bool changed = state != statusFile_.state || lastReason_ != statusFile_.refusal;
        if (!changed && (when == statusFile_.refusalTime || now - statusWritten_ < STATUS_FILE_PERIOD)) return;
        statusFile_.state = state;
        statusFile_.refusal = lastReason_;
        statusFile_.refusalTime = when;
        statusWritten_ = now;
        std::string error;
        if (!writeSubscriberStatus(statusFile_, error)) {
            say("leaves no status for this host's readers (" + error + "); set " + MIRROR_STATUS_DIR_VARIABLE +
                " to a folder it may write");
            statusWritable_ = false;
        }
    }

    std::string statusText(Clock::time_point now) const {
        std::ostringstream out;
        out << "subscribe \"" << settings_.common.name << "\": " << local_[TRACKER].state() << ", "
            << local_[CONTROLLER].state() << "; " << stats_.rateText() << ", " << stats_.latencyText() << ", stale "
            << stale_ << ", refused " << refused_;
        if (unchecked_ > 0) out << ", " << unchecked_ << " signed frames taken unchecked";
        const auto silence = now - lastFrame_;
        if (silence > SILENCE_SHOWN_AFTER && refusedSinceFrame_ > 0 && now - lastRefusal_ <= REFUSING_SHOWN_FOR) {
            out << ", refusing " << refusedSinceFrame_ << " frames: " << lastReason_;
        } else if (silence > SILENCE_SHOWN_AFTER) {
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
    Announcer announcer_;
    Link link_;
    FrameInbox inbox_;
    ParticipantWatch watch_;
    std::array<LocalSegment, SEGMENT_COUNT> local_;
    PublisherFollower follower_;
    std::array<const trackd_mirror_SegmentFrame*, SEGMENT_COUNT> accepted_{};  // in the batch being taken
    Clock::time_point lastFrame_{};                                            // written
    Clock::time_point lastHeard_{};                                            // arrived, whatever became of it
    bool silenceExplained_ = false;
    long long refused_ = 0;
    long long refusedSinceFrame_ = 0;
    Clock::time_point lastRefusal_{};
    const char* lastReason_ = "";
    std::time_t lastRefusalWall_ = 0;
    SubscriberStatus statusFile_;
    Clock::time_point statusWritten_{};
    bool statusWritable_ = true;
    long long stale_ = 0;
    long long unchecked_ = 0;
    std::set<const void*> said_;  // as many as there are reasons, however many senders there are
    SecondStats stats_;
    StatusLine status_;
};

// A group by name, or by number as chown takes it; an unknown name is bad usage.
gid_t groupNamed(const std::string& text) {
    if (!text.empty() && std::all_of(text.begin(), text.end(),
                                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        errno = 0;
        const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == 0 && number < static_cast<gid_t>(-1)) return static_cast<gid_t>(number);
    }
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_gid;
    throw CLI::ValidationError("--group", "no group named '" + text + "' on this host (getent group lists them)");
}

int subscribe(const SubscribeSettings& settings) {
    if (const std::string warning = modeWarning(settings.mode); !warning.empty()) say(warning);
    checkInterface(settings.common.network);
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
                  "write); a segment left with other permissions is made anew")
        ->group("Segments");
    command
        ->add_option_function<std::string>(
            "--group", [settings](const std::string& text) { settings->group = groupNamed(text); },
            "the group of the segments made here, by name or number: its members attach them with the default "
            "mode 0660 (default: the subscriber's own group); a segment left with another group is made anew")
        ->type_name("GROUP")
        ->group("Segments");
    command
        ->add_flag("--remove-on-exit", settings->removeOnExit,
                   "remove the segments on exit (by default they stay for the applications attached)")
        ->group("Segments");
    return {command, [settings] { return subscribe(*settings); }};
}

}  // namespace trackd_mirror
