// A subscriber's status file: written whole by the subscriber, looked up by key by the readers' hints.
#include "mirrorStatus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "printable.h"

namespace trackd_tools {

namespace {

constexpr const char* PREFIX = "subscribe-";
constexpr const char* SUFFIX = ".json";

std::string fileFor(const SubscriberStatus& status) {
    return mirrorStatusDirectory() + "/" + PREFIX + std::to_string(status.trackerKey) + "-" +
           std::to_string(status.controllerKey) + SUFFIX;
}

std::optional<SubscriberStatus> parse(const std::string& text) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || !j.value("trackerKey", nlohmann::json()).is_number_integer() ||
        !j.value("controllerKey", nlohmann::json()).is_number_integer())
        return std::nullopt;
    SubscriberStatus s;
    const auto str = [&](const char* field) {
        const auto it = j.find(field);
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    s.name = str("name");
    s.trackerKey = j["trackerKey"].get<int>();
    s.controllerKey = j["controllerKey"].get<int>();
    s.pid = j.value("pid", nlohmann::json()).is_number_integer() ? j["pid"].get<long long>() : 0;
    s.state = str("state");
    s.refusal = str("lastRefusal");
    s.refusalTime = str("lastRefusalTime");
    s.unit = str("unit");
    return s;
}

// At most LONGEST_STATUS_FILE bytes of a regular file; nothing from anything else.
std::optional<std::string> readSmall(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= static_cast<off_t>(LONGEST_STATUS_FILE)) {
        text.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t n = read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    close(fd);
    if (text.empty()) return std::nullopt;
    return text;
}

bool running(long long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

std::string mirrorStatusDirectory() {
    const char* dir = std::getenv(MIRROR_STATUS_DIR_VARIABLE);
    return dir != nullptr && *dir != '\0' ? dir : MIRROR_STATUS_DIR;
}

std::optional<SubscriberStatus> subscriberStatusFor(int key) {
    const std::string dir = mirrorStatusDirectory();
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
    if (!listing) return std::nullopt;
    std::size_t looked = 0;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string file = entry->d_name;
        if (file.rfind(PREFIX, 0) != 0 || file.size() <= std::strlen(SUFFIX) ||
            file.compare(file.size() - std::strlen(SUFFIX), std::string::npos, SUFFIX) != 0)
            continue;
        if (++looked > MOST_STATUS_FILES) break;
        std::string path = dir;
        path += '/';
        path += file;
        const auto text = readSmall(path);
        if (!text) continue;
        auto status = parse(*text);
        if (status && (status->trackerKey == key || status->controllerKey == key)) return status;
    }
    return std::nullopt;
}

std::string subscriberHint(const SubscriberStatus& s) {
    std::string text = "this host's trackd-mirror subscribe for installation \"" + printable(s.name) + "\" (pid " +
                       std::to_string(s.pid) + ")";
    if (s.state == "stopped")
        text += " has stopped";
    else if (!running(s.pid))
        text += " is not running (it was " + printable(s.state) + " when it ended)";
    else
        text += " is " + printable(s.state);
    if (!s.refusal.empty()) text += "; last refusal at " + printable(s.refusalTime) + ": " + printable(s.refusal);
    text += s.unit.empty() ? "; see its standard error" : "; see journalctl -u " + printable(s.unit);
    return text;
}

bool writeSubscriberStatus(const SubscriberStatus& s, std::string& error) {
    const std::string dir = mirrorStatusDirectory();
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    const nlohmann::json j = {
        {"role", "subscribe"}, {"name", s.name},   {"trackerKey", s.trackerKey}, {"controllerKey", s.controllerKey},
        {"pid", s.pid},        {"state", s.state}, {"lastRefusal", s.refusal},   {"lastRefusalTime", s.refusalTime},
        {"unit", s.unit}};
    const std::string text = j.dump() + '\n';
    const std::string path = fileFor(s);
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write in " + dir + ": " + std::strerror(errno);
        return false;
    }
    // Readable by every reader on the host, whatever the umask (the unit's is 0077).
    const bool written =
        fchmod(fd, 0644) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeError = errno;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : writeError);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace trackd_tools
