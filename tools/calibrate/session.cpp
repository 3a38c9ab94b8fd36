// What both calibrations share: the file they start from, the wand, the messages.
#include "session.h"

#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "options.h"
#include "trackdLayout.h"
#include "zoravoVAR.h"

namespace trackd_calibrate {

using namespace trackd_tools;

volatile std::sig_atomic_t stopSignal = 0;

namespace {

void onSignal(int signal) { stopSignal = signal; }

// The line being refreshed in place on the terminal, "" when none is.
std::string live;

void endLive() {
    if (live.empty()) return;
    std::cout << "\r\033[K" << std::flush;
    live.clear();
}

// Cut to the terminal's width, as a line that wrapped would not be rewritten in place.
void showLive(const std::string& text) {
    winsize size{};
    const std::size_t width = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 79;
    const std::string shown = text.substr(0, width);
    if (shown == live) return;
    std::cout << "\r\033[K" << shown << std::flush;
    live = shown;
}

}  // namespace

void catchStopSignals() {
    for (const int signal : STOP_SIGNALS) std::signal(signal, onSignal);
}

void say(const std::string& text) {
    endLive();
    std::cerr << TOOL << text << std::endl;
}

void tell(const std::string& text) {
    endLive();
    std::cout << text << std::endl;
}

std::string shown(const Vec3& v) {
    char text[96];
    std::snprintf(text, sizeof text, "%.3f %.3f %.3f", v[0] + 0.0, v[1] + 0.0, v[2] + 0.0);
    return text;
}

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 plus(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double length(const Vec3& a) { return std::sqrt(dot(a, a)); }

Vec3 rounded(const Vec3& v, double step) {
    // Divided, not multiplied, by the step's inverse: the quotient of an integer by 1e9 is the double nearest
    // the decimal, as a multiplication by 1e-9 (itself inexact) is not.
    const double inverse = std::round(1 / step);
    Vec3 out{};
    for (std::size_t i = 0; i < 3; ++i) out[i] = std::round(v[i] * inverse) / inverse + 0.0;
    return out;
}

double degreesBetween(const Vec3& a, const Vec3& b) {
    // atan2 of the sine and the cosine: exact near 0 and 180 degrees, where acos is not.
    return std::atan2(length(cross(a, b)), dot(a, b)) * 180 / M_PI;
}

std::string newInstallationText(double unit) {
    return "# The installation: the tracker's calibration, the sensors and the screens; written by trackd-calibrate.\n"
           "[tracker]\n"
           "unit = " +
           numberText(unit) +
           "   # metres per tracker unit\n"
           "origin = [0.0, 0.0, 0.0]   # where the tracker's origin lies in the room, metres\n"
           "x_axis = [1.0, 0.0, 0.0]   # the tracker's X, Y and Z axes as room directions\n"
           "y_axis = [0.0, 1.0, 0.0]\n"
           "z_axis = [0.0, 0.0, 1.0]\n";
}

Room loadRoom(const std::string& text, const std::string& path) {
    char error[1024] = "";
    ZoravovarRoom* room = zoravovarRoomLoadText(text.data(), text.size(), path.c_str(), error, sizeof error);
    if (room == nullptr) throw std::runtime_error(error);
    return {room, zoravovarRoomFree};
}

Start begin(const Settings& settings, const std::string& updating, double unit) {
    char resolved[4096];
    if (zoravovarRoomResolvePath(settings.installation.c_str(), resolved, sizeof resolved) == 0)
        throw std::runtime_error("the installation file's path is longer than " + std::to_string(sizeof resolved - 1) +
                                 " bytes");
    Start start;
    start.path = resolved;
    start.before = readInstallation(start.path);
    // The file is replaced by a new one beside it: the folder must take it, before any point is taken.
    const std::string folder = start.path.find('/') == std::string::npos
                                   ? std::string(".")
                                   : start.path.substr(0, std::max<std::size_t>(start.path.rfind('/'), 1));
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        throw std::runtime_error("cannot write " + start.path + ": the folder " + folder + ": " +
                                 std::generic_category().message(errno));
    if (start.before && !settings.update && !settings.overwrite)
        throw std::runtime_error(start.path + " exists; not changing it: --update " + updating +
                                 ", keeping its comments and every other entry; --overwrite replaces the file with a "
                                 "new one");
    if (start.before && settings.update) {
        start.room = loadRoom(*start.before, start.path);
        start.text = *start.before;
    } else {
        start.text = newInstallationText(unit);
        start.room = loadRoom(start.text, start.path);
    }
    return start;
}

int stoppedWithoutWriting(const Start& start) {
    say("stopped; nothing was written to " + start.path);
    return EXIT_FAILURE_AT_RUN_TIME;
}

Wand::Wand(const Settings& settings, const Start& start) : start_(start), terminal_(isatty(STDOUT_FILENO) != 0) {
    const ZoravovarRoom* room = start.room.get();
    index_ = settings.wand;
    if (index_ < 0) {
        const int sensor = zoravovarRoomFindRole(room, ZORAVOVAR_ROOM_WAND);
        if (sensor < 0)
            throw std::runtime_error((start.text == start.before ? start.path + " names no sensor of role wand"
                                                                 : "a new installation file names no sensors") +
                                     ": give the wand's sensor index with --wand INDEX");
        index_ = zoravovarRoomSensorIndex(room, sensor);
    }
    sensor_ = zoravovarRoomFindSensorIndex(room, index_);
    if (sensor_ >= 0) zoravovarRoomSensorOffset(room, sensor_, ZORAVOVAR_ROOM_TIP, tip_.data());
    // A key that names no segment is said once, in the tools' words; the library explains any other failed
    // attach on standard error before the hint.
    const auto attach = [](const char* kind, int key, std::uint32_t minimum, void* (*attacher)(int)) {
        void* handle = shmget(key, 0, 0) < 0 ? nullptr : attacher(key);
        if (handle == nullptr) {
            const int error = errno;
            throw std::runtime_error(diagnoseAttach(kind, key, minimum, error).reason);
        }
        return handle;
    };
    tracker_ = attach("tracker", settings.trackerKey, trackd_layout::TRACKER_SEGMENT_SIZE, trackdInitTrackerReader);
    controller_ = attach("controller", settings.controllerKey, trackd_layout::CONTROLLER_SEGMENT_SIZE,
                         trackdInitControllerReader);
    const int sensors = trackdGetNumberOfSensors(tracker_);
    if (index_ >= sensors)
        throw std::runtime_error("the tracker segment holds " + std::to_string(sensors) +
                                 " sensors: the wand's index " + std::to_string(index_) + " is not among them");
    if (trackdGetNumberOfButtons(controller_) < 1)
        throw std::runtime_error("the controller segment holds no buttons: button 0 takes each point");
}

std::string Wand::describe() const {
    const ZoravovarRoom* room = start_.room.get();
    std::string text = "the wand is sensor " + std::to_string(index_);
    if (sensor_ >= 0) text += std::string(" (\"") + zoravovarRoomSensorName(room, sensor_) + "\")";
    if (sensor_ >= 0 && zoravovarRoomSensorRole(room, sensor_) == ZORAVOVAR_ROOM_WAND)
        return text + ", its tip at " + shown(tip_) + " m in its own frame";
    return text + ", which the installation gives no tip: points are taken at the sensor itself";
}

bool Wand::pose(Matrix& out) const {
    // The count first: the library complains on standard error of every index outside the segment.
    if (index_ >= trackdGetNumberOfSensors(tracker_)) return false;
    Matrix m{};
    if (trackdGetMatrix(tracker_, index_, reinterpret_cast<float(*)[4]>(m.data())) == 0) return false;
    for (const float v : m)
        if (!std::isfinite(v)) return false;
    out = m;
    return true;
}

std::optional<Matrix> Wand::take(const std::string& prompt, const std::function<std::string(const Matrix&)>& place) {
    bool announced = false;
    bool missingSaid = false;
    while (stopSignal == 0) {
        const bool down = trackdGetNumberOfButtons(controller_) > 0 && trackdGetButton(controller_, 0) != 0;
        Matrix m{};
        const bool have = pose(m);
        if (!down) released_ = true;
        if (released_ && !announced) {
            announced = true;
            tell(prompt);
        }
        if (down && released_) {
            released_ = false;
            if (have) {
                endLive();
                return m;
            }
            say("sensor " + std::to_string(index_) + " is not in the tracker segment now: press again once it is");
            announced = false;
        }
        if (!have && !terminal_ && !missingSaid) {
            missingSaid = true;
            say("sensor " + std::to_string(index_) + " is not in the tracker segment now");
        }
        if (terminal_) {
            const std::string where = have ? "tip at " + place(m) : "the wand is not in the tracker segment";
            showLive(released_ ? where : "release button 0; " + where);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / POLLS_PER_SECOND));
    }
    endLive();
    return std::nullopt;
}

Vec3 Wand::roomPoint(const Matrix& pose) const {
    const ZoravovarRoom* room = start_.room.get();
    Vec3 out{NAN, NAN, NAN};
    if (sensor_ >= 0 && zoravovarRoomSensorRole(room, sensor_) == ZORAVOVAR_ROOM_WAND) {
        zoravovarRoomSensorPoint(room, sensor_, ZORAVOVAR_ROOM_TIP, pose.data(), out.data());
    } else if (double p[16]; zoravovarRoomPose(room, pose.data(), p) != 0) {
        out = {p[12], p[13], p[14]};
    }
    return out;
}

Vec3 Wand::trackerPoint(const Matrix& pose, double unit) const {
    // The reader's matrix acts on row vectors: [x y z 1] * M, with the tip in tracker units.
    Vec3 out{};
    for (std::size_t j = 0; j < 3; ++j) {
        double sum = pose[12 + j];
        for (std::size_t i = 0; i < 3; ++i) sum += tip_[i] / unit * pose[i * 4 + j];
        out[j] = sum;
    }
    return out;
}

}  // namespace trackd_calibrate
