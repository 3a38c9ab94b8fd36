// A thin RAII layer over the Cyclone DDS C handles trackd-mirror uses: the configuration that pins its
// participant to one interface or to unicast peers and its UDP ports to a fixed range, the topic,
// partition and QoS its frames travel in, and the participants' user data that discovery carries.
#pragma once

#include <dds/dds.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "SegmentFrame.h"

namespace trackd_mirror {

constexpr const char* TOPIC_NAME = "trackd_segment_frames";
// A reader keeps this many frames per segment until they are taken, so that frames others send between
// two takes, however many, do not crowd out the publisher's; one take gets them all.
constexpr int READER_DEPTH = 16;
constexpr int TAKE_BATCH = 2 * READER_DEPTH;
// The largest sample Cyclone DDS takes in: a frame of the largest segment, with room for its other fields.
// Cyclone drops a larger one as its first fragment arrives, before anything of it is buffered.
constexpr std::uint32_t MAX_SAMPLE_BYTES = trackd_mirror_MAX_SEGMENT_BYTES + 1024;
using std::chrono::milliseconds;

// DDSI's port mapping, written into the configuration so that a firewall can rely on it: for domain d
// and participant index i (0 to MAX_PARTICIPANT_INDEX, taken by each process in turn on a host),
//   discovery multicast  PORT_BASE + DOMAIN_GAIN * d
//   data multicast       PORT_BASE + DOMAIN_GAIN * d + 1
//   discovery unicast    PORT_BASE + DOMAIN_GAIN * d + 10 + PARTICIPANT_GAIN * i
//   data unicast         PORT_BASE + DOMAIN_GAIN * d + 11 + PARTICIPANT_GAIN * i
// so that every port lies from PORT_BASE + DOMAIN_GAIN * d to 29 above it.
constexpr int PORT_BASE = 7400;
constexpr int DOMAIN_GAIN = 250;
constexpr int PARTICIPANT_GAIN = 2;
constexpr int MAX_PARTICIPANT_INDEX = 9;  // ten trackd-mirror processes per host and domain
constexpr int FIRST_PORT_OFFSET = 0;
constexpr int LAST_PORT_OFFSET = 11 + PARTICIPANT_GAIN * MAX_PARTICIPANT_INDEX;

// The UDP ports trackd-mirror uses on `domain`, as a firewall rule names them: "7400-7429".
inline std::string portRange(int domain) {
    const int base = PORT_BASE + DOMAIN_GAIN * domain;
    return std::to_string(base + FIRST_PORT_OFFSET) + "-" + std::to_string(base + LAST_PORT_OFFSET);
}

// Throws with the operation's name and Cyclone's text when `result` is an error code.
inline dds_return_t checked(dds_return_t result, const char* what) {
    if (result < 0) throw std::runtime_error(std::string(what) + ": " + dds_strretcode(result));
    return result;
}

// Owns one entity and deletes it, with every entity it made, on destruction.
class Entity {
public:
    Entity() = default;
    Entity(dds_entity_t handle, const char* what) : handle_(checked(handle, what)) {}
    Entity(Entity&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
    Entity& operator=(Entity&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    Entity(const Entity&) = delete;
    Entity& operator=(const Entity&) = delete;
    ~Entity() {
        if (handle_ > 0) dds_delete(handle_);
    }
    dds_entity_t get() const { return handle_; }

private:
    dds_entity_t handle_ = 0;
};

class Qos {
public:
    Qos() : qos_(dds_create_qos()) {}
    Qos(Qos&& other) noexcept : qos_(std::exchange(other.qos_, nullptr)) {}
    Qos(const Qos&) = delete;
    Qos& operator=(const Qos&) = delete;
    Qos& operator=(Qos&&) = delete;
    ~Qos() {
        if (qos_ != nullptr) dds_delete_qos(qos_);
    }
    dds_qos_t* get() const { return qos_; }

private:
    dds_qos_t* qos_;
};

// Where the participant may talk: an interface, and unicast peers that replace multicast; and the largest
// sample it sends or takes in.
struct NetworkChoice {
    std::string interfaceName;
    std::vector<std::string> peers;
    std::uint32_t maxSampleBytes = MAX_SAMPLE_BYTES;
};

// Cyclone's configuration: CYCLONEDDS_URI's, if set, then what `choice` adds.
// The names were validated to hold no XML markup.
inline std::string cycloneConfig(const NetworkChoice& choice) {
    std::string general;
    if (!choice.interfaceName.empty())
        general += "<Interfaces><NetworkInterface name=\"" + choice.interfaceName + "\"/></Interfaces>";
    // Cyclone's default without peers, ParticipantIndex none, would take any free unicast port.
    std::string discovery = "<Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>" +
                            std::to_string(MAX_PARTICIPANT_INDEX) + "</MaxAutoParticipantIndex><Ports><Base>" +
                            std::to_string(PORT_BASE) + "</Base><DomainGain>" + std::to_string(DOMAIN_GAIN) +
                            "</DomainGain><ParticipantGain>" + std::to_string(PARTICIPANT_GAIN) +
                            "</ParticipantGain><MulticastMetaOffset>0</MulticastMetaOffset><MulticastDataOffset>1"
                            "</MulticastDataOffset><UnicastMetaOffset>10</UnicastMetaOffset><UnicastDataOffset>11"
                            "</UnicastDataOffset></Ports>";
    if (!choice.peers.empty()) {
        general += "<AllowMulticast>false</AllowMulticast>";
        discovery += "<Peers>";
        for (const auto& peer : choice.peers) discovery += "<Peer address=\"" + peer + "\"/>";
        discovery += "</Peers>";
    }
    discovery += "</Discovery>";
    const std::string ours = "<CycloneDDS><Domain id=\"any\"><General>" + general + "</General>" + discovery +
                             "<Internal><MaxSampleSize>" + std::to_string(choice.maxSampleBytes) +
                             "B</MaxSampleSize></Internal></Domain></CycloneDDS>";
    const char* user = std::getenv("CYCLONEDDS_URI");  // an explicit configuration replaces it: keep it first
    return user != nullptr && *user != '\0' ? std::string(user) + "," + ours : ours;
}

// A domain configured for `choice`, with one participant in it, whose user data every other
// participant's discovery sees.
class Participant {
public:
    Participant(dds_domainid_t domainId, const NetworkChoice& choice, const std::string& userData = {})
        : domain_(dds_create_domain(domainId, cycloneConfig(choice).c_str()), "creating the DDS domain"),
          participant_(dds_create_participant(domainId, userDataQos(userData).get(), nullptr),
                       "creating the DDS participant") {}
    dds_entity_t get() const { return participant_.get(); }

    // Its GUID, as discovery shows it to the others.
    dds_guid_t guid() const {
        dds_guid_t guid{};
        checked(dds_get_guid(participant_.get(), &guid), "reading the participant's GUID");
        return guid;
    }

    // Replaces the user data; discovery carries it to the others at once.
    void announce(const std::string& userData) const {
        checked(dds_set_qos(participant_.get(), userDataQos(userData).get()), "setting the participant's user data");
    }

private:
    static Qos userDataQos(const std::string& userData) {
        Qos qos;
        if (!userData.empty()) dds_qset_userdata(qos.get(), userData.data(), userData.size());
        return qos;
    }

    Entity domain_;  // declared first, deleted last
    Entity participant_;
};

// The most user data a trackd-mirror announcement holds; a participant's larger user data is not kept.
constexpr std::size_t MAX_USER_DATA = 2048;
// The most participants a watch keeps, whatever floods the domain with participants of its own.
constexpr std::size_t MAX_WATCHED = 1024;

// A participant discovery found: its GUID and the user data it announces (empty for none).
struct SeenParticipant {
    dds_guid_t guid{};
    std::string userData;
};

// The other participants of the domain that discovery has found and that are alive, each by the user
// data it announces. It keeps one entry per participant that Cyclone keeps, up to MAX_WATCHED, counts
// those beyond, and forgets those that leave.
class ParticipantWatch {
public:
    explicit ParticipantWatch(const Participant& participant)
        : reader_(dds_create_reader(participant.get(), DDS_BUILTIN_TOPIC_DCPSPARTICIPANT, nullptr, nullptr),
                  "creating a reader of discovered participants") {
        checked(dds_get_guid(participant.get(), &self_), "reading the participant's GUID");
    }

    // Every live participant but this one that the watch keeps.
    std::vector<SeenParticipant> participants() {
        refresh();
        std::vector<SeenParticipant> found;
        found.reserve(seen_.size());
        for (const auto& entry : seen_) found.push_back(entry.second);
        return found;
    }

    // Live participants discovery found beyond the MAX_WATCHED kept.
    std::size_t unkept() const { return unkept_.size(); }

    // Takes in what discovery found since: a watch that is not refreshed now and then keeps every
    // participant that ever left in its reader.
    void refresh() {
        std::array<void*, TAKE_BATCH> samples{};
        std::array<dds_sample_info_t, TAKE_BATCH> infos{};
        for (;;) {
            samples.fill(nullptr);
            const dds_return_t n = dds_take(reader_.get(), samples.data(), infos.data(), TAKE_BATCH, TAKE_BATCH);
            if (n <= 0) break;
            for (dds_return_t i = 0; i < n; ++i) {
                const auto& info = infos[static_cast<std::size_t>(i)];
                const auto* sample =
                    static_cast<const dds_builtintopic_participant_t*>(samples[static_cast<std::size_t>(i)]);
                if (info.instance_state != DDS_IST_ALIVE) {
                    seen_.erase(info.instance_handle);
                    unkept_.erase(info.instance_handle);
                } else if (info.valid_data && std::memcmp(&sample->key, &self_, sizeof self_) != 0) {
                    if (seen_.size() >= MAX_WATCHED && seen_.count(info.instance_handle) == 0) {
                        unkept_.insert(info.instance_handle);  // a handle each, as Cyclone keeps far more
                        continue;
                    }
                    SeenParticipant& entry = seen_[info.instance_handle];
                    std::memcpy(entry.guid.v, sample->key.v, sizeof entry.guid.v);
                    entry.userData.clear();
                    void* data = nullptr;
                    std::size_t size = 0;
                    if (dds_qget_userdata(sample->qos, &data, &size) && data != nullptr) {
                        if (size <= MAX_USER_DATA) entry.userData.assign(static_cast<const char*>(data), size);
                        dds_free(data);
                    }
                }
            }
            dds_return_loan(reader_.get(), samples.data(), n);
        }
    }

private:
    Entity reader_;
    dds_guid_t self_{};
    std::map<dds_instance_handle_t, SeenParticipant> seen_;
    std::set<dds_instance_handle_t> unkept_;
};

// The entities both modes need: participant, topic, and the QoS under which the newest frame wins.
class Link {
public:
    Link(dds_domainid_t domain, const NetworkChoice& network, const std::string& installation,
         const std::string& userData = {})
        : participant_(domain, network, userData),
          topic_(dds_create_topic(participant_.get(), &trackd_mirror_SegmentFrame_desc, TOPIC_NAME, nullptr, nullptr),
                 "creating the topic") {
        Qos partition;
        const char* partitionName = installation.c_str();
        dds_qset_partition(partition.get(), 1, &partitionName);
        publisher_ = Entity(dds_create_publisher(participant_.get(), partition.get(), nullptr), "creating a publisher");
        subscriber_ =
            Entity(dds_create_subscriber(participant_.get(), partition.get(), nullptr), "creating a subscriber");
    }

    // Reliable, `depth` frames kept per segment, and the newest handed to a late joiner.
    static void newestFrameWins(const Qos& qos, int depth) {
        dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
        dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, depth);
        dds_qset_durability(qos.get(), DDS_DURABILITY_TRANSIENT_LOCAL);
    }

    Entity reader(bool ignoreOwn) const {
        Qos qos;
        newestFrameWins(qos, READER_DEPTH);
        if (ignoreOwn) dds_qset_ignorelocal(qos.get(), DDS_IGNORELOCAL_PARTICIPANT);
        return {dds_create_reader(subscriber_.get(), topic_.get(), qos.get(), nullptr), "creating a reader"};
    }

    // A writer keeps only its newest frame of each segment: an older one is never sent again.
    Entity writer() const {
        Qos qos;
        newestFrameWins(qos, 1);
        return {dds_create_writer(publisher_.get(), topic_.get(), qos.get(), nullptr), "creating a writer"};
    }

    dds_entity_t participant() const { return participant_.get(); }
    const Participant& domainParticipant() const { return participant_; }

private:
    Participant participant_;
    Entity topic_;
    Entity publisher_;
    Entity subscriber_;
};

// Waits on one reader's data, and takes its frames through loans.
class FrameInbox {
public:
    FrameInbox(const Link& link, Entity reader)
        : reader_(std::move(reader)),
          waitset_(dds_create_waitset(link.participant()), "creating a waitset"),
          condition_(dds_create_readcondition(reader_.get(), DDS_ANY_STATE), "creating a read condition") {
        checked(dds_waitset_attach(waitset_.get(), condition_.get(), 0), "attaching the read condition");
    }

    void wait(milliseconds timeout) const { dds_waitset_wait(waitset_.get(), nullptr, 0, DDS_MSECS(timeout.count())); }

    // Calls `handle` with every frame that arrived, in the order they arrived, and `batchDone` after each
    // batch, while the batch's frames are still valid.
    template <typename Handle, typename BatchDone>
    void take(Handle&& handle, BatchDone&& batchDone) const {
        std::array<void*, TAKE_BATCH> samples{};
        std::array<dds_sample_info_t, TAKE_BATCH> infos{};
        for (;;) {
            samples.fill(nullptr);
            const dds_return_t n = dds_take(reader_.get(), samples.data(), infos.data(), TAKE_BATCH, TAKE_BATCH);
            if (n <= 0) return;
            for (dds_return_t i = 0; i < n; ++i)
                if (infos[static_cast<std::size_t>(i)].valid_data)
                    handle(*static_cast<const trackd_mirror_SegmentFrame*>(samples[static_cast<std::size_t>(i)]));
            batchDone();
            dds_return_loan(reader_.get(), samples.data(), n);
        }
    }

    template <typename Handle>
    void take(Handle&& handle) const {
        take(std::forward<Handle>(handle), [] {});
    }

private:
    Entity reader_;
    Entity waitset_;
    Entity condition_;
};

}  // namespace trackd_mirror
