// Loading the installation for a tool and checking it against the tool's other options.
#include "installation.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace trackd_tools {

std::vector<std::string> Installation::namesByIndex() const {
    std::vector<std::string> names;
    const int count = zoravovarRoomSensorCount(get());
    for (int sensor = 0; sensor < count; ++sensor) {
        const int index = zoravovarRoomSensorIndex(get(), sensor);
        if (index < 0) continue;
        if (static_cast<std::size_t>(index) >= names.size()) names.resize(static_cast<std::size_t>(index) + 1);
        names[static_cast<std::size_t>(index)] = zoravovarRoomSensorName(get(), sensor);
    }
    return names;
}

int Installation::indexOfRole(int role) const {
    const int sensor = zoravovarRoomFindRole(get(), role);
    return sensor < 0 ? -1 : zoravovarRoomSensorIndex(get(), sensor);
}

CLI::Option* addInstallationOption(CLI::App& app, std::string& path) {
    return app
        .add_option("--installation", path,
                    "the installation file (default $ZORAVOVAR_INSTALLATION, else " ZORAVOVAR_ROOM_DEFAULT_PATH
                    " where it exists)")
        ->type_name("FILE");
}

std::optional<Installation> loadInstallation(const std::string& given) {
    char resolved[4096];
    if (zoravovarRoomResolvePath(given.c_str(), resolved, sizeof resolved) == 0)
        throw InstallationError("the installation file's path is longer than " + std::to_string(sizeof resolved - 1) +
                                " bytes");
    const char* environment = std::getenv("ZORAVOVAR_INSTALLATION");  // NOLINT(concurrency-mt-unsafe)
    const bool asked = !given.empty() || (environment != nullptr && *environment != '\0');
    struct stat status {};
    if (!asked && stat(resolved, &status) != 0 && errno == ENOENT) return std::nullopt;
    char error[1024] = "";
    ZoravovarRoom* room = zoravovarRoomLoadFile(resolved, error, sizeof error);
    if (room == nullptr) throw InstallationError(error);
    return Installation{std::shared_ptr<const ZoravovarRoom>(
                            room, [](const ZoravovarRoom* r) { zoravovarRoomFree(const_cast<ZoravovarRoom*>(r)); }),
                        resolved};
}

std::string namesDisagreement(const Installation& installation, const std::vector<std::string>& names) {
    const std::vector<std::string> fromFile = installation.namesByIndex();
    for (std::size_t index = 0; index < names.size() && index < fromFile.size(); ++index) {
        if (fromFile[index].empty() || fromFile[index] == names[index]) continue;
        return "--names calls sensor " + std::to_string(index) + " '" + names[index] + "', " + installation.path +
               " calls it '" + fromFile[index] + "'";
    }
    return {};
}

}  // namespace trackd_tools
