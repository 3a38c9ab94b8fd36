// The installation a tool works in: --installation FILE, else $ZORAVOVAR_INSTALLATION, else the default file
// (optional: a host without one has no room), loaded through the room library every face calls.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "zoravovarRoom.h"

namespace trackd_tools {

// A file that was asked for (by --installation or the environment) and could not be loaded: the message
// starts with FILE:LINE: where the room library gives a place.
class InstallationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A loaded installation; the room is shared by the copies.
struct Installation {
    std::shared_ptr<const ZoravovarRoom> room;
    std::string path;

    const ZoravovarRoom* get() const { return room.get(); }
    // The sensors' names by tracker index, "" where the file names no sensor of that index; as long as the
    // highest index in the file plus one.
    std::vector<std::string> namesByIndex() const;
    // The tracker index of the first sensor of `role` (ZORAVOVAR_ROOM_HEAD, ...), or -1.
    int indexOfRole(int role) const;
    // The tracker point, in the tracker's unit and frame, that lies at `inRoom` (metres): the calibration undone.
    std::array<double, 3> trackerPoint(const std::array<double, 3>& inRoom) const;
    // The rotation, column after column (element [column * 4 + row]), that the tracker gives a sensor whose
    // orientation in the room is the room's own: the calibration's axes undone.
    std::array<double, 16> trackerRotationOfRoomAxes() const;
};

// The angles X, Y and Z in degrees, as the tracker reports them (composed Y, then X, then Z for column
// vectors), of the rotation in the column-vector matrix `m` (element [column * 4 + row]).
std::array<double, 3> trackerAngles(const std::array<double, 16>& m);

// Adds --installation FILE to `app`, storing the path in `path`.
CLI::Option* addInstallationOption(CLI::App& app, std::string& path);

// The installation for `given` (a tool's --installation, may be empty): loaded from the path
// zoravovarRoomResolvePath gives. Returns nothing when neither `given` nor the environment names a file and
// the default file does not exist; throws InstallationError for a file that cannot be read or has a mistake.
std::optional<Installation> loadInstallation(const std::string& given);

// Why `names` (a tool's --names, sensor i named names[i]) and the installation's names disagree, or "" when
// every sensor both name has one name.
std::string namesDisagreement(const Installation& installation, const std::vector<std::string>& names);

}  // namespace trackd_tools
