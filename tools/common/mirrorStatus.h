// A subscriber's state where readers on its host find it without privileges: one small JSON file per
// subscriber, named by its keys, in trackd-mirror's status folder; written whole (a temporary file renamed
// over it) by trackd-mirror subscribe, read by the hints of trackd-monitor and the Python module.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace trackd_tools {

constexpr const char* MIRROR_STATUS_DIR = "/run/trackd-mirror";
constexpr const char* MIRROR_STATUS_DIR_VARIABLE = "TRACKD_MIRROR_STATUS_DIR";  // another folder, for tests
constexpr const char* MIRROR_UNIT_VARIABLE = "TRACKD_MIRROR_UNIT";              // set by the unit: its journal's name
constexpr std::size_t MOST_STATUS_FILES = 64;                                   // files a reader looks at, at most
constexpr std::size_t LONGEST_STATUS_FILE = 16384;                              // bytes a reader reads of one, at most

struct SubscriberStatus {
    std::string name;  // the installation's
    int trackerKey = 0;
    int controllerKey = 0;
    long long pid = 0;
    std::string state;        // "waiting for frames", "writing frames", "refusing frames", "stopped"
    std::string refusal;      // the last refusal's reason, empty when none came
    std::string refusalTime;  // when it came, UTC, ISO 8601
    std::string unit;         // the systemd unit it runs as, empty when it runs outside one
};

std::string mirrorStatusDirectory();

// The status of the subscriber that makes the segment under `key` on this host, if one left its file.
std::optional<SubscriberStatus> subscriberStatusFor(int key);

// One line for a person: what the subscriber does, its last refusal and where its log is.
std::string subscriberHint(const SubscriberStatus& status);

// Writes `status` to its file, atomically and readable by all; false with `error` set when it cannot.
bool writeSubscriberStatus(const SubscriberStatus& status, std::string& error);

}  // namespace trackd_tools
