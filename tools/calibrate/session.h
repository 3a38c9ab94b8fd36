// What both calibrations share: the settings, the file and the text they start from, the wand whose tip
// takes each point at a press of button 0, and the messages.
#pragma once

#include <array>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "installationText.h"
#include "segmentKeys.h"
#include "zoravovarRoom.h"

namespace trackd_calibrate {

constexpr const char* TOOL = "trackd-calibrate: ";

// Points closer than this (metres) give no direction: an edge or an axis is at least this long.
constexpr double SHORTEST_SPAN = 0.05;
// How far from a right angle, in degrees, two measured directions may meet; a screen is then squared.
constexpr double RIGHT_ANGLE_TOLERANCE = 5.0;
// What is written, in metres for points and as a fraction for directions: far below what a wand measures and
// what the file's checks allow.
constexpr double POINT_STEP = 1e-9;
constexpr double DIRECTION_STEP = 1e-12;
// How often the wand is looked at, per second.
constexpr int POLLS_PER_SECOND = 50;

struct Settings {
    int trackerKey = trackd_tools::DEFAULT_TRACKER_KEY;
    int controllerKey = trackd_tools::DEFAULT_CONTROLLER_KEY;
    std::string installation;  // --installation, "" for the usual lookup
    int wand = -1;             // --wand, -1 for the installation's sensor of role wand
    bool update = false;
    bool overwrite = false;
};

using Room = std::shared_ptr<ZoravovarRoom>;

// The file a calibration writes and the text it edits.
struct Start {
    std::string path;
    std::optional<std::string> before;  // the file's text, nothing when it does not exist
    std::string text;                   // before's text with --update, else a new file's
    Room room;                          // text, loaded
};

// A new file's text: the tracker's calibration alone, the identity with `unit` metres per tracker unit.
std::string newInstallationText(double unit);

// The file the settings name, read and checked. An existing file is refused without --update or
// --overwrite, saying what --update would do (`updating`, such as "replaces the screen front in it"); with
// --overwrite, or where there is no file, the calibration starts from newInstallationText(unit).
Start begin(const Settings& settings, const std::string& updating, double unit);

// `text` loaded by the room library as the file `path`; throws std::runtime_error with its message.
Room loadRoom(const std::string& text, const std::string& path);

using Matrix = std::array<float, 16>;  // the reader's pose matrix, row vectors, as trackdGetMatrix gives it

// The wand: its sensor and tip from the installation and --wand, its pose and button 0 from the segments.
class Wand {
public:
    // Attaches both segments; throws std::runtime_error saying why one cannot be read.
    Wand(const Settings& settings, const Start& start);

    int index() const { return index_; }
    // The tip in the wand's own frame, metres (zero when the installation gives the sensor no tip).
    const Vec3& tip() const { return tip_; }
    std::string describe() const;

    // Shows `prompt` once button 0 is up and, on a terminal, where `place` puts the tip, refreshed in place
    // below it; waits for the press (button 0 going from 0 to non-zero). Returns the wand's pose at the press, or
    // nothing once a stop signal came.
    std::optional<Matrix> take(const std::string& prompt, const std::function<std::string(const Matrix&)>& place);

    // The tip in the room, metres, through the room library.
    Vec3 roomPoint(const Matrix& pose) const;
    // The tip in the tracker's frame and unit, for `unit` metres per tracker unit.
    Vec3 trackerPoint(const Matrix& pose, double unit) const;

private:
    bool pose(Matrix& out) const;

    const Start& start_;
    void* tracker_ = nullptr;
    void* controller_ = nullptr;
    int index_ = -1;
    int sensor_ = -1;  // the installation's number of the sensor, -1 when it has none of that index
    Vec3 tip_{};
    bool released_ = false;  // button 0 has been seen up since the last press
    bool terminal_ = false;
};

// Set by a stop signal; the calibration then ends writing nothing.
extern volatile std::sig_atomic_t stopSignal;
void catchStopSignals();

// A message on standard error, on a line of its own also while a terminal's line is being refreshed.
void say(const std::string& text);
// A line on standard output, as a person follows the calibration.
void tell(const std::string& text);

// A point as a person reads it: "0.123 1.500 -2.000".
std::string shown(const Vec3& v);

// `v` rounded to a multiple of `step` (such as 1e-9 m), so that the file holds 0.9144 rather than the
// 0.9144000000000001 of the arithmetic; -0 becomes 0.
Vec3 rounded(const Vec3& v, double step);

// The angle between two directions, in degrees.
double degreesBetween(const Vec3& a, const Vec3& b);
Vec3 minus(const Vec3& a, const Vec3& b);
Vec3 plus(const Vec3& a, const Vec3& b);
Vec3 scaled(const Vec3& a, double s);
double dot(const Vec3& a, const Vec3& b);
Vec3 cross(const Vec3& a, const Vec3& b);
double length(const Vec3& a);

// Ends the calibration once `stopped`: says nothing was written and returns the exit status.
int stoppedWithoutWriting(const Start& start);

}  // namespace trackd_calibrate
