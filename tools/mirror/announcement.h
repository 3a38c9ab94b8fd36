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

// What a reader can tell of who made an announcement.
enum class Trust {
    UNSIGNED,     // it names no key
    UNCHECKED,    // it names a key, and the reader holds none to check it with
    VERIFIED,     // signed with the reader's key, by the participant that announces it
    FORGED,       // it names the reader's key id, but its signature fails: made up, altered, or copied
    ANOTHER_KEY,  // it names another key, which the reader cannot check
};

struct Announcement {
    std::string role;                    // ROLE_PUBLISH, ROLE_SUBSCRIBE or ROLE_LIST
    std::string name;                    // the installation
    std::string host;                    // the host's name
    std::vector<std::string> addresses;  // IPv4, of the interface in use (of every interface but loopback without one)
    long long pid = 0;
    std::uint64_t keyId = 0;         // 0: unsigned
    std::uint32_t trackerBytes = 0;  // 0 while the segment is not there
    std::uint32_t controllerBytes = 0;
    long long rate = 0;             // frames per second: sent by a publisher, written by a subscriber
    Trust trust = Trust::UNSIGNED;  // as decode judged it

    // This process's announcement in `role`, for the installation `name`.
    static Announcement ofThisProcess(const char* role, const std::string& name, const NetworkChoice& network,
                                      std::uint64_t keyId);

    // The user data, signed with `key` (which must be the key of keyId) for the participant `guid`, or
    // unsigned without a key.
    std::string encode(const AuthKey* key, const dds_guid_t& guid) const;
    // The announcement in `userData`, or none when it is not a trackd-mirror's or not well formed: anyone on
    // the network can announce anything, so only plain names, addresses and numbers pass. Its trust is
    // judged with `key` (none: every signed one is UNCHECKED) for the participant `guid`.
    static std::optional<Announcement> decode(const std::string& userData, const AuthKey* key, const dds_guid_t& guid);

    // Where it runs, as a message names it: its first address, or its host's name without one.
    std::string where() const;
};

// What discovery shows of the domain: the trackd-mirror processes, and how many other participants
// (those beyond what the watch keeps among them).
struct Visible {
    std::vector<Announcement> mirrors;
    std::size_t others = 0;
};
Visible visibleOnDomain(ParticipantWatch& watch, const AuthKey* key);

// Keeps this participant's announcement current, signed with the key, if any, without flooding discovery:
// new segment sizes go at once, a rate that moved by more than a tenth at most once a second.
class Announcer {
public:
    Announcer(Announcement first, const AuthKey* key) : current_(std::move(first)), key_(key) {}
    // Announces it for the first time: a participant's GUID, which the signature covers, is known only
    // once it exists.
    void start(const Participant& participant) const;
    void update(const Participant& participant, std::uint32_t trackerBytes, std::uint32_t controllerBytes, double rate,
                Clock::time_point now);

private:
    Announcement current_;
    const AuthKey* key_;
    Clock::time_point lastRate_{};
};

}  // namespace trackd_mirror
