// What each trackd-mirror process tells the DDS domain about itself, in its participant's user data:
// `list` shows it, and a subscriber that hears no publisher names the installations it can see.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "ddsEntities.h"

namespace trackd_mirror {

constexpr const char* ROLE_PUBLISH = "publish";
constexpr const char* ROLE_SUBSCRIBE = "subscribe";
constexpr const char* ROLE_LIST = "list";

struct Announcement {
    std::string role;                    // ROLE_PUBLISH, ROLE_SUBSCRIBE or ROLE_LIST
    std::string name;                    // the installation
    std::string host;                    // the host's name
    std::vector<std::string> addresses;  // IPv4, of the interface in use (of every interface but loopback without one)
    long long pid = 0;
    std::uint64_t keyId = 0;         // 0: unsigned
    std::uint32_t trackerBytes = 0;  // 0 while the segment is not there
    std::uint32_t controllerBytes = 0;
    long long rate = 0;  // frames per second: sent by a publisher, written by a subscriber

    // This process's announcement in `role`, for the installation `name`.
    static Announcement ofThisProcess(const char* role, const std::string& name, const NetworkChoice& network,
                                      std::uint64_t keyId);

    std::string encode() const;
    // The announcement in `userData`, or none when it is not a trackd-mirror's or not well formed: anyone on
    // the network can announce anything, so only plain names, addresses and numbers pass.
    static std::optional<Announcement> decode(const std::string& userData);

    // Where it runs, as a message names it: its first address, or its host's name without one.
    std::string where() const;
};

// What discovery shows of the domain: the trackd-mirror processes, and how many other participants.
struct Visible {
    std::vector<Announcement> mirrors;
    int others = 0;
};
Visible visibleOnDomain(ParticipantWatch& watch);

// Keeps this participant's announcement current without flooding discovery: new segment sizes go at
// once, a rate that moved by more than a tenth at most once a second.
class Announcer {
public:
    explicit Announcer(Announcement first) : current_(std::move(first)) {}
    const Announcement& current() const { return current_; }
    void update(const Participant& participant, std::uint32_t trackerBytes, std::uint32_t controllerBytes, double rate,
                Clock::time_point now);

private:
    Announcement current_;
    Clock::time_point lastRate_{};
};

}  // namespace trackd_mirror
