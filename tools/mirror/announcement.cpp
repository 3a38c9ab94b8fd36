// What each trackd-mirror process tells the DDS domain about itself, and what it makes of the others'.
#include "announcement.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

namespace trackd_mirror {

namespace {

constexpr const char* MARK = "trackd-mirror";  // the key that tells a trackd-mirror's user data
constexpr int FORMAT = 1;
constexpr std::size_t MAX_ADDRESSES = 8;
constexpr std::size_t MAX_NAME = 64;
constexpr std::chrono::seconds RATE_UPDATE_PERIOD{1};
constexpr const char* MAC_FIELD = "mac";

std::string hexBytes(const unsigned char* bytes, std::size_t size) {
    std::string text(size * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, size);
    text.pop_back();
    return text;
}

// Exactly `size` bytes as 2 * size hex digits, nothing before or after.
bool readHex(const std::string& text, unsigned char* bytes, std::size_t size) {
    std::size_t length = 0;
    const char* end = nullptr;
    return text.size() == 2 * size &&
           sodium_hex2bin(bytes, size, text.c_str(), text.size(), nullptr, &length, &end) == 0 && length == size &&
           end == text.c_str() + text.size();
}

bool plain(const std::string& text, const char* extra) {
    return !text.empty() && text.size() <= MAX_NAME && std::all_of(text.begin(), text.end(), [extra](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr(extra, c) != nullptr;
    });
}

bool ipv4(const std::string& text) {
    in_addr address{};
    return text.size() < INET_ADDRSTRLEN && inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "unknown";
    const std::string text = name;
    return plain(text, "-_.") ? text : "unknown";
}

// The IPv4 addresses of `interfaceName`, or of every interface that is up but loopback without one.
std::vector<std::string> addressesOf(const std::string& interfaceName) {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (const ifaddrs* entry = list; entry != nullptr && found.size() < MAX_ADDRESSES; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const bool chosen = interfaceName.empty()
                                ? (entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_LOOPBACK) == 0
                                : interfaceName == entry->ifa_name;
        if (!chosen) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) found.emplace_back(text);
    }
    freeifaddrs(list);
    return found;
}

template <typename Number>
bool readNumber(const nlohmann::json& object, const char* key, Number low, Number high, Number& out) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) return false;
    const auto value = found->get<long long>();
    if (value < static_cast<long long>(low) || value > static_cast<long long>(high)) return false;
    out = static_cast<Number>(value);
    return true;
}

}  // namespace

Announcement Announcement::ofThisProcess(const char* role, const std::string& name, const NetworkChoice& network,
                                         std::uint64_t keyId) {
    Announcement self;
    self.role = role;
    self.name = name;
    self.host = hostName();
    self.addresses = addressesOf(network.interfaceName);
    self.pid = getpid();
    self.keyId = keyId;
    return self;
}

std::string Announcement::encode(const AuthKey* key, const dds_guid_t& guid) const {
    nlohmann::json object{{MARK, FORMAT},
                          {"role", role},
                          {"name", name},
                          {"host", host},
                          {"addresses", addresses},
                          {"pid", pid},
                          {"tracker", trackerBytes},
                          {"controller", controllerBytes},
                          {"rate", rate}};
    if (keyId != 0) object["keyId"] = keyIdText(keyId);
    if (key != nullptr) {
        // The MAC covers the text without it, as the receiver dumps it again after taking the MAC out.
        const auto mac = key->mac(guid.v, object.dump());
        object[MAC_FIELD] = hexBytes(mac.data(), mac.size());
    }
    return object.dump();
}

std::optional<Announcement> Announcement::decode(const std::string& userData, const AuthKey* key,
                                                 const dds_guid_t& guid) try {
    if (userData.empty() || userData.size() > MAX_USER_DATA) return std::nullopt;
    auto object = nlohmann::json::parse(userData, nullptr, false);
    if (!object.is_object()) return std::nullopt;
    if (const auto mark = object.find(MARK); mark == object.end() || *mark != FORMAT) return std::nullopt;
    Announcement a;
    const auto text = [&](const char* field, std::string& out) {
        const auto found = object.find(field);
        if (found == object.end() || !found->is_string()) return false;
        out = found->get<std::string>();
        return true;
    };
    if (!text("role", a.role) || (a.role != ROLE_PUBLISH && a.role != ROLE_SUBSCRIBE && a.role != ROLE_LIST))
        return std::nullopt;
    if (!text("name", a.name) || !plain(a.name, "-_.") || !text("host", a.host) || !plain(a.host, "-_."))
        return std::nullopt;
    const auto addresses = object.find("addresses");
    if (addresses == object.end() || !addresses->is_array() || addresses->size() > MAX_ADDRESSES) return std::nullopt;
    for (const auto& address : *addresses) {
        if (!address.is_string() || !ipv4(address.get<std::string>())) return std::nullopt;
        a.addresses.push_back(address.get<std::string>());
    }
    if (!readNumber(object, "pid", 1LL, static_cast<long long>(INT_MAX), a.pid) ||
        !readNumber(object, "tracker", 0U, MAX_SEGMENT_BYTES, a.trackerBytes) ||
        !readNumber(object, "controller", 0U, MAX_SEGMENT_BYTES, a.controllerBytes) ||
        !readNumber(object, "rate", 0LL, 10'000'000LL, a.rate))
        return std::nullopt;
    if (const auto given = object.find("keyId"); given != object.end()) {
        if (!given->is_string() || given->get<std::string>().size() != 16) return std::nullopt;
        const std::string hexText = given->get<std::string>();
        if (!std::all_of(hexText.begin(), hexText.end(), [](char c) { return std::isxdigit(c) != 0; }))
            return std::nullopt;
        a.keyId = std::stoull(hexText, nullptr, 16);
        if (a.keyId == 0) return std::nullopt;
    }
    if (a.keyId == 0)
        a.trust = Trust::UNSIGNED;
    else if (key == nullptr)
        a.trust = Trust::UNCHECKED;
    else if (a.keyId != key->id())
        a.trust = Trust::ANOTHER_KEY;
    else {
        std::array<unsigned char, MAC_BYTES> given{};
        const auto mac = object.find(MAC_FIELD);
        const bool present =
            mac != object.end() && mac->is_string() && readHex(mac->get<std::string>(), given.data(), given.size());
        object.erase(MAC_FIELD);
        a.trust = present && key->verify(guid.v, object.dump(), given) ? Trust::VERIFIED : Trust::FORGED;
    }
    return a;
} catch (const std::exception&) {  // whatever a sender made of its user data, it is not an announcement
    return std::nullopt;
}

std::string Announcement::where() const { return addresses.empty() ? host : addresses.front(); }

Visible visibleOnDomain(ParticipantWatch& watch, const AuthKey* key) {
    Visible visible;
    for (const auto& seen : watch.participants()) {
        auto announcement = Announcement::decode(seen.userData, key, seen.guid);
        if (!announcement)
            ++visible.others;
        else if (announcement->role != ROLE_LIST)
            visible.mirrors.push_back(std::move(*announcement));
    }
    visible.others += watch.unkept();
    return visible;
}

void Announcer::start(const Participant& participant) const {
    participant.announce(current_.encode(key_, participant.guid()));
}

void Announcer::update(const Participant& participant, std::uint32_t trackerBytes, std::uint32_t controllerBytes,
                       double rate, Clock::time_point now) {
    const auto rounded = std::llround(rate);
    const bool sizes = trackerBytes != current_.trackerBytes || controllerBytes != current_.controllerBytes;
    const bool rateMoved =
        std::llabs(rounded - current_.rate) * 10 > current_.rate && now - lastRate_ >= RATE_UPDATE_PERIOD;
    if (!sizes && !rateMoved) return;
    current_.trackerBytes = trackerBytes;
    current_.controllerBytes = controllerBytes;
    current_.rate = rounded;
    lastRate_ = now;
    participant.announce(current_.encode(key_, participant.guid()));
}

}  // namespace trackd_mirror
