// Loading the installation for a tool and checking it against the tool's other options.
#include "installation.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

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

std::array<double, 3> Installation::trackerPoint(const std::array<double, 3>& inRoom) const {
    double unit = 1;
    std::array<double, 3> origin{};
    std::array<double, 9> axes{};
    zoravovarRoomTracker(get(), &unit, origin.data(), axes.data());
    // The axes are orthonormal (the file is refused otherwise): their transpose undoes them.
    std::array<double, 3> point{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        double along = 0;
        for (std::size_t c = 0; c < 3; ++c) along += axes[axis * 3 + c] * (inRoom[c] - origin[c]);
        point[axis] = along / unit;
    }
    return point;
}

std::array<double, 16> Installation::trackerRotationOfRoomAxes() const {
    std::array<double, 9> axes{};
    zoravovarRoomTracker(get(), nullptr, nullptr, axes.data());
    std::array<double, 16> rotation{};
    rotation[15] = 1;
    for (std::size_t row = 0; row < 3; ++row)
        for (std::size_t column = 0; column < 3; ++column) rotation[column * 4 + row] = axes[row * 3 + column];
    return rotation;
}

std::array<double, 3> trackerAngles(const std::array<double, 16>& m) {
    const auto at = [&m](std::size_t row, std::size_t column) { return m[column * 4 + row]; };
    constexpr double DEGREES = 180 / std::numbers::pi;
    // Adding 0 turns -0 into 0: a level sensor reads 0, not -0.
    return {std::asin(std::clamp(-at(1, 2), -1.0, 1.0)) * DEGREES + 0.0, std::atan2(at(0, 2), at(2, 2)) * DEGREES + 0.0,
            std::atan2(at(1, 0), at(1, 1)) * DEGREES + 0.0};
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
