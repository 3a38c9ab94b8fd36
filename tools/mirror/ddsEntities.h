// A thin RAII layer over the Cyclone DDS C handles trackd-mirror uses: the configuration that pins its
// participant to one interface or to unicast peers, and the topic, partition and QoS its frames travel in.
#pragma once

#include <dds/dds.h>

#include <array>
#include <chrono>
#include <cstdlib>
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
    Qos(const Qos&) = delete;
    Qos& operator=(const Qos&) = delete;
    ~Qos() { dds_delete_qos(qos_); }
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
    std::string discovery;
    if (!choice.peers.empty()) {
        general += "<AllowMulticast>false</AllowMulticast>";
        discovery = "<Discovery><ParticipantIndex>auto</ParticipantIndex><Peers>";
        for (const auto& peer : choice.peers) discovery += "<Peer address=\"" + peer + "\"/>";
        discovery += "</Peers></Discovery>";
    }
    const std::string ours = "<CycloneDDS><Domain id=\"any\"><General>" + general + "</General>" + discovery +
                             "<Internal><MaxSampleSize>" + std::to_string(choice.maxSampleBytes) +
                             "B</MaxSampleSize></Internal></Domain></CycloneDDS>";
    const char* user = std::getenv("CYCLONEDDS_URI");  // an explicit configuration replaces it: keep it first
    return user != nullptr && *user != '\0' ? std::string(user) + "," + ours : ours;
}

// A domain configured for `choice`, with one participant in it.
class Participant {
public:
    Participant(dds_domainid_t domainId, const NetworkChoice& choice)
        : domain_(dds_create_domain(domainId, cycloneConfig(choice).c_str()), "creating the DDS domain"),
          participant_(dds_create_participant(domainId, nullptr, nullptr), "creating the DDS participant") {}
    dds_entity_t get() const { return participant_.get(); }

private:
    Entity domain_;  // declared first, deleted last
    Entity participant_;
};

// The entities both modes need: participant, topic, and the QoS under which the newest frame wins.
class Link {
public:
    Link(dds_domainid_t domain, const NetworkChoice& network, const std::string& installation)
        : participant_(domain, network),
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
