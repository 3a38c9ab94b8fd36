// The native part of the Python module zoravovar: live queries through libZoravoVAR's exported functions,
// recordings through the tools' one reader, the installation file and the room's math through
// libZoravoVARRoom, each converted to numpy arrays and back.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "loadFailure.h"
#include "matrixRotation.h"
#include "recording.h"
#include "segmentKeys.h"
#include "trackdLayout.h"
#include "zoravoVAR.h"
#include "zoravovarRoom.h"

namespace py = pybind11;
using trackd_layout::loadWord;
using trackd_tools::keyText;

namespace {

constexpr std::int64_t NO_BUTTON = std::numeric_limits<std::int64_t>::min();

// A key as the tools take it: any 32-bit value, written signed or unsigned. Any other integer, however
// large, is a ValueError; what is no integer at all, a TypeError.
int checkedKey(const py::object& key, const char* kind) {
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(key.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::uint32_t>::max())
        throw py::value_error(py::str(index).cast<std::string>() + " is not a 32-bit System V key for the " + kind +
                              " segment");
    return static_cast<int>(static_cast<std::uint32_t>(value));
}

[[noreturn]] void raiseAttachFailure(const char* kind, int key, std::uint32_t minimum, int attachError) {
    using trackd_tools::AttachFailure;
    const trackd_tools::AttachDiagnosis diagnosis = trackd_tools::diagnoseAttach(kind, key, minimum, attachError);
    if (diagnosis.failure == AttachFailure::exhausted) {
        PyErr_SetObject(PyExc_OSError, py::make_tuple(attachError, diagnosis.reason).ptr());
        throw py::error_already_set();
    }
    PyObject* type = diagnosis.failure == AttachFailure::missing  ? PyExc_FileNotFoundError
                     : diagnosis.failure == AttachFailure::denied ? PyExc_PermissionError
                                                                  : PyExc_ValueError;
    PyErr_SetString(type, diagnosis.reason.c_str());
    throw py::error_already_set();
}

// A segment the library attached, with its size as the kernel gave it at the time.
struct Attachment {
    void* handle = nullptr;
    std::uint64_t size = 0;
};

// One attachment per segment and process, shared by every object made for it: the library never
// detaches, so an attach per object would use up the process's mappings. A segment is known by its key
// and its id, so that a segment trackd made anew under the key is attached anew. Used under the GIL only.
Attachment attachShared(const char* kind, int key, std::uint32_t minimum, void* (*attach)(int)) {
    static auto* const attached = new std::map<std::pair<int, int>, Attachment>();  // kept until the process ends
    const int id = key == IPC_PRIVATE ? -1 : shmget(key, 0, 0);
    if (id >= 0)
        if (const auto found = attached->find({key, id}); found != attached->end()) return found->second;
    errno = 0;
    Attachment attachment{attach(key), minimum};
    if (attachment.handle == nullptr) raiseAttachFailure(kind, key, minimum, errno);
    // Which segment the library attached is sure only when the key named the same one before and after;
    // otherwise the attachment serves this object alone, sized at the minimum the library checked.
    shmid_ds info{};
    if (id >= 0 && shmget(key, 0, 0) == id && shmctl(id, IPC_STAT, &info) == 0) {
        attachment.size = std::max<std::uint64_t>(info.shm_segsz, minimum);
        attached->emplace(std::pair{key, id}, attachment);
    }
    return attachment;
}

// One attached segment as a Python object: the shared attachment, the key, and whether the object is
// closed. Closing only marks it: the attachment stays until the process ends, as the library's contract says.
class Segment {
public:
    Segment(const char* kind, const py::object& key) : kind_(kind), key_(checkedKey(key, kind)) {}

    int key() const { return key_; }
    bool closed() const { return closed_; }
    void close() { closed_ = true; }

    const void* handle() const {
        if (closed_) throw py::value_error("the " + std::string(kind_) + " under key " + keyText(key_) + " is closed");
        return handle_;
    }

    // Negative indices are refused as in C, never counted from the end: -1 names no entry of trackd's.
    void checkIndex(long long index, std::int64_t count, const char* item) const {
        if (index < 0 || index >= count) throw py::index_error(outOfRange(index, count, item));
    }

    std::string outOfRange(long long index, std::int64_t count, const char* item) const {
        return std::string(item) + " " + std::to_string(index) + " is out of range: the " + kind_ +
               " segment under key " + keyText(key_) + " has " + std::to_string(count) + " " + item + "s";
    }

    std::string repr(const char* type, const std::string& counts) const {
        return std::string("<zoravovar.") + type + " key " + keyText(key_) +
               (closed_ ? ", closed>" : ", " + counts + ">");
    }

    // Refuses at once, before anything is allocated or asked of the library, a header that claims more
    // entries than the segment holds: the library would refuse each of them with a line of its own.
    void checkFits(const char* items, std::uint64_t claimed, std::uint64_t fit) const {
        if (fit < claimed)
            throw py::value_error("the " + std::string(kind_) + " segment under key " + keyText(key_) + " claims " +
                                  std::to_string(claimed) + " " + items + ", " + std::to_string(fit) + " fit in its " +
                                  std::to_string(size_) + " bytes");
    }

protected:
    const char* kind_;
    int key_;
    void* handle_ = nullptr;
    std::uint64_t size_ = 0;
    bool closed_ = false;
};

// The C++ object inside `self`, a zoravovar object of type T. An object made by T.__new__ alone holds
// none: its every use is a TypeError, never a read of memory nothing initialised.
template <typename T>
T& initialised(py::handle self) {
    const py::detail::type_info* type = py::detail::get_type_info(typeid(T));
    if (type == nullptr || PyObject_TypeCheck(self.ptr(), type->type) == 0)
        throw py::type_error(std::string("expected a zoravovar.") + T::NAME + ", got " +
                             py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>());
    auto held = reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder(type);
    if (!held.holder_constructed())
        throw py::type_error(std::string("this zoravovar.") + T::NAME + " is not initialised (made by __new__ alone)");
    return *held.value_ptr<T>();
}

// Counts are unsigned words in the segment; the library hands them over as int.
std::int64_t count(int word) { return static_cast<std::uint32_t>(word); }

class Tracker : public Segment {
public:
    static constexpr char NAME[] = "Tracker";

    explicit Tracker(const py::object& key) : Segment("tracker", key) {
        const Attachment a =
            attachShared("tracker", key_, trackd_layout::TRACKER_SEGMENT_SIZE, trackdInitTrackerReader);
        handle_ = a.handle;
        size_ = a.size;
    }

    std::int64_t sensorCount() const { return count(trackdGetNumberOfSensors(handle())); }

    py::array_t<float> position(long long sensor) const {
        py::array_t<float> out(3);
        query(sensor,
              [&](const void* h) { return trackdGetPosition(h, static_cast<int>(sensor), out.mutable_data()); });
        return out;
    }

    py::array_t<float> angles(long long sensor) const {
        py::array_t<float> out(3);
        query(sensor,
              [&](const void* h) { return trackdGetEulerAngles(h, static_cast<int>(sensor), out.mutable_data()); });
        return out;
    }

    py::array_t<float> matrix(long long sensor) const {
        py::array_t<float> out({4, 4});
        query(sensor,
              [&](const void* h) { return trackdGetMatrix(h, static_cast<int>(sensor), rows(out.mutable_data())); });
        return out;
    }

    py::array_t<float> matrices() const {
        const void* h = handle();
        const std::int64_t sensors = count(trackdGetNumberOfSensors(h));
        checkFits("sensors", sensors,
                  trackd_layout::entriesThatFit(sensors, loadWord(h, trackd_layout::SENSOR_OFFSET_AT),
                                                loadWord(h, trackd_layout::SENSOR_SIZE_AT),
                                                trackd_layout::SENSOR_BYTES_READ, size_));
        py::array_t<float> out({static_cast<py::ssize_t>(sensors), py::ssize_t{4}, py::ssize_t{4}});
        float* data = out.mutable_data();
        for (std::int64_t i = 0; i < sensors; ++i)
            if (trackdGetMatrix(h, static_cast<int>(i), rows(data + 16 * i)) == 0) refused(h, i, sensors);
        return out;
    }

    std::string repr() const {
        return Segment::repr("Tracker", closed_ ? "" : std::to_string(sensorCount()) + " sensors");
    }

private:
    static float (*rows(float* data))[4] { return reinterpret_cast<float(*)[4]>(data); }

    template <typename Query>
    void query(long long sensor, Query query) const {
        const void* h = handle();
        const std::int64_t sensors = count(trackdGetNumberOfSensors(h));
        checkIndex(sensor, sensors, "sensor");
        if (query(h) == 0) refused(h, sensor, sensors);
    }

    // The library refused an index below the count it had: trackd changed the count since, or the header
    // claims sensors that lie outside the segment (the library's message on standard error says which).
    [[noreturn]] void refused(const void* h, long long sensor, std::int64_t claimed) const {
        const std::int64_t now = count(trackdGetNumberOfSensors(h));
        if (sensor >= now) throw py::index_error(outOfRange(sensor, now, "sensor"));
        throw py::value_error("sensor " + std::to_string(sensor) + " of the " + std::to_string(claimed) +
                              " that the tracker segment under key " + keyText(key_) + " claims lies outside it");
    }
};

class Controller : public Segment {
public:
    static constexpr char NAME[] = "Controller";

    explicit Controller(const py::object& key) : Segment("controller", key) {
        const Attachment a =
            attachShared("controller", key_, trackd_layout::CONTROLLER_SEGMENT_SIZE, trackdInitControllerReader);
        handle_ = a.handle;
        size_ = a.size;
    }

    std::int64_t buttonCount() const { return count(trackdGetNumberOfButtons(handle())); }
    std::int64_t valuatorCount() const { return count(trackdGetNumberOfValuators(handle())); }

    int button(long long index) const {
        const void* h = handle();
        checkIndex(index, count(trackdGetNumberOfButtons(h)), "button");
        return trackdGetButton(h, static_cast<int>(index));
    }

    float valuator(long long index) const {
        const void* h = handle();
        checkIndex(index, count(trackdGetNumberOfValuators(h)), "valuator");
        return trackdGetValuator(h, static_cast<int>(index));
    }

    py::array_t<std::int32_t> buttons() const {
        const void* h = handle();
        const std::int64_t claimed = count(trackdGetNumberOfButtons(h));
        checkFits("buttons", claimed, fitting(h, claimed, trackd_layout::BUTTON_OFFSET_AT));
        py::array_t<std::int32_t> out(claimed);
        std::int32_t* data = out.mutable_data();
        for (py::ssize_t i = 0; i < out.size(); ++i) data[i] = trackdGetButton(h, static_cast<int>(i));
        return out;
    }

    py::array_t<float> valuators() const {
        const void* h = handle();
        const std::int64_t claimed = count(trackdGetNumberOfValuators(h));
        checkFits("valuators", claimed, fitting(h, claimed, trackd_layout::VALUATOR_OFFSET_AT));
        py::array_t<float> out(claimed);
        float* data = out.mutable_data();
        for (py::ssize_t i = 0; i < out.size(); ++i) data[i] = trackdGetValuator(h, static_cast<int>(i));
        return out;
    }

    std::string repr() const {
        return Segment::repr("Controller", closed_ ? ""
                                                   : std::to_string(buttonCount()) + " buttons, " +
                                                         std::to_string(valuatorCount()) + " valuators");
    }

private:
    std::uint64_t fitting(const void* h, std::int64_t claimed, std::uint64_t offsetAt) const {
        return trackd_layout::entriesThatFit(static_cast<std::uint64_t>(claimed), loadWord(h, offsetAt),
                                             trackd_layout::CONTROL_BYTES, trackd_layout::CONTROL_BYTES, size_);
    }
};

// The unit quaternion (w, x, y, z) of a pose matrix's rotation, Shepperd's way: from whichever of w, x, y, z
// is largest, so that no half turn or near half turn divides by a small number. `m` is the reader's matrix,
// element [r][c] at r * 4 + c, for row vectors (p' = p M); the rotation it applies is R = M's upper 3 x 3
// transposed for column vectors, and the quaternion is Hamilton's with R v = q v q*. w >= 0; for a half
// turn (w = 0) the largest of x, y, z is positive. A matrix holding a NaN gives NaN throughout. The one
// conversion every face of the module calls.
template <typename Real>
void quaternionOf(const Real* m, double* q) {
    const auto r = [m](int row, int column) { return static_cast<double>(m[column * 4 + row]); };  // R = M^T
    const double r00 = r(0, 0), r11 = r(1, 1), r22 = r(2, 2), trace = r00 + r11 + r22;
    double w = 0, x = 0, y = 0, z = 0;
    if (trace >= r00 && trace >= r11 && trace >= r22) {
        const double s = 2 * std::sqrt(1 + trace);  // 4 w
        w = s / 4, x = (r(2, 1) - r(1, 2)) / s, y = (r(0, 2) - r(2, 0)) / s, z = (r(1, 0) - r(0, 1)) / s;
    } else if (r00 >= r11 && r00 >= r22) {
        const double s = 2 * std::sqrt(1 + r00 - r11 - r22);  // 4 x
        w = (r(2, 1) - r(1, 2)) / s, x = s / 4, y = (r(0, 1) + r(1, 0)) / s, z = (r(0, 2) + r(2, 0)) / s;
    } else if (r11 >= r22) {
        const double s = 2 * std::sqrt(1 - r00 + r11 - r22);  // 4 y
        w = (r(0, 2) - r(2, 0)) / s, x = (r(0, 1) + r(1, 0)) / s, y = s / 4, z = (r(1, 2) + r(2, 1)) / s;
    } else {
        const double s = 2 * std::sqrt(1 - r00 - r11 + r22);  // 4 z
        w = (r(1, 0) - r(0, 1)) / s, x = (r(0, 2) + r(2, 0)) / s, y = (r(1, 2) + r(2, 1)) / s, z = s / 4;
    }
    const double norm = std::sqrt(w * w + x * x + y * y + z * z);
    const double scale = (w < 0 ? -1 : 1) / norm;
    if (!std::isfinite(norm) || !std::isfinite(scale)) {
        std::fill_n(q, 4, std::numeric_limits<double>::quiet_NaN());
        return;
    }
    q[0] = w * scale, q[1] = x * scale, q[2] = y * scale, q[3] = z * scale;
}

// quaternionOf for every matrix of an array of shape (..., 4, 4): float64 (..., 4).
py::array_t<double> quaternions(const py::object& given) {
    const auto matrices = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(given);
    if (!matrices || matrices.ndim() < 2 || matrices.shape(matrices.ndim() - 1) != 4 ||
        matrices.shape(matrices.ndim() - 2) != 4)
        throw py::value_error("matrices is an array of pose matrices, of shape (..., 4, 4)");
    std::vector<py::ssize_t> shape(matrices.shape(), matrices.shape() + matrices.ndim() - 1);
    shape.back() = 4;
    py::array_t<double> out(shape);
    const py::ssize_t count = matrices.size() / 16;
    const double* from = matrices.data();
    double* to = out.mutable_data();
    const py::gil_scoped_release unlocked;
    for (py::ssize_t i = 0; i < count; ++i) quaternionOf(from + 16 * i, to + 4 * i);
    return out;
}

// A vector handed to numpy without a copy: the array owns it through a capsule.
template <typename Item>
py::array_t<Item> adopt(std::vector<Item>&& items, std::vector<py::ssize_t> shape) {
    auto* owned = new std::vector<Item>(std::move(items));
    const py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<Item>*>(p); });
    return py::array_t<Item>(std::move(shape), owned->data(), owner);
}

// Every frame of a recording, column by column, as the reader gives them.
struct Columns {
    std::vector<double> time;
    std::vector<float> position, angles, valuators;  // each frame's entries one after another
    std::vector<std::int64_t> buttons;
    std::vector<std::int32_t> sensorCounts, buttonCounts, valuatorCounts;
    std::vector<bool> torn;  // numpy's bool, one byte each, made at the end
    std::vector<std::uint32_t> missed;
    std::size_t sensors = 0, buttonsMost = 0, valuatorsMost = 0;  // the most any frame holds
    bool uniform = true;                                          // every frame holds as many as the first

    void add(const trackd_tools::Snapshot& frame) {
        if (!time.empty() && (frame.sensors.size() != static_cast<std::size_t>(sensorCounts.front()) ||
                              frame.buttons.size() != static_cast<std::size_t>(buttonCounts.front()) ||
                              frame.valuators.size() != static_cast<std::size_t>(valuatorCounts.front())))
            uniform = false;
        time.push_back(frame.time);
        for (const trackd_tools::SensorState& sensor : frame.sensors) {
            position.insert(position.end(), sensor.position.begin(), sensor.position.end());
            angles.insert(angles.end(), sensor.angles.begin(), sensor.angles.end());
        }
        buttons.insert(buttons.end(), frame.buttons.begin(), frame.buttons.end());
        valuators.insert(valuators.end(), frame.valuators.begin(), frame.valuators.end());
        torn.push_back(frame.torn);
        missed.push_back(frame.missed);
        sensorCounts.push_back(static_cast<std::int32_t>(frame.sensors.size()));
        buttonCounts.push_back(static_cast<std::int32_t>(frame.buttons.size()));
        valuatorCounts.push_back(static_cast<std::int32_t>(frame.valuators.size()));
        sensors = std::max(sensors, frame.sensors.size());
        buttonsMost = std::max(buttonsMost, frame.buttons.size());
        valuatorsMost = std::max(valuatorsMost, frame.valuators.size());
    }

    // Frame t's `counts[t] * width` entries of `packed`, each frame at t * `most` * `width`, the rest `fill`.
    template <typename Item>
    static std::vector<Item> padded(const std::vector<Item>& packed, const std::vector<std::int32_t>& counts,
                                    std::size_t most, std::size_t width, Item fill) {
        std::vector<Item> out(counts.size() * most * width, fill);
        std::size_t from = 0;
        for (std::size_t t = 0; t < counts.size(); ++t) {
            const std::size_t n = static_cast<std::size_t>(counts[t]) * width;
            std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(from), n,
                        out.begin() + static_cast<std::ptrdiff_t>(t * most * width));
            from += n;
        }
        return out;
    }
};

struct Recording {
    static constexpr char NAME[] = "Recording";
    std::string path;
    std::vector<std::string> names;
    py::array_t<double> time;
    py::array_t<float> position, angles, valuators;
    py::array_t<std::int64_t> buttons;
    py::array_t<std::int32_t> sensorCounts, buttonCounts, valuatorCounts;
    py::array_t<bool> torn;
    py::array_t<std::uint32_t> missed;
    py::list markers;  // (time, text) pairs
    py::dict header;

    std::size_t frames() const { return static_cast<std::size_t>(time.shape(0)); }

    py::array_t<float> matrices() const {
        const auto frames = static_cast<py::ssize_t>(this->frames());
        const py::ssize_t sensors = position.shape(1);
        py::array_t<float> out({frames, sensors, py::ssize_t{4}, py::ssize_t{4}});
        float* data = out.mutable_data();
        const float* where = position.data();
        const float* turned = angles.data();
        const std::int32_t* present = sensorCounts.data();
        const py::gil_scoped_release unlocked;
        for (py::ssize_t t = 0; t < frames; ++t)
            for (py::ssize_t s = 0; s < sensors; ++s) {
                const py::ssize_t at = t * sensors + s;
                float(*m)[4] = reinterpret_cast<float(*)[4]>(data + 16 * at);
                if (s >= present[t]) {  // a sensor this frame lacks: its matrix is NaN throughout
                    std::fill_n(data + 16 * at, 16, std::numeric_limits<float>::quiet_NaN());
                    continue;
                }
                const float* angle = turned + 3 * at;
                trackd_pose::poseRotation(m, angle[1], angle[0], angle[2]);  // the segment's order Y, X, Z
                std::memcpy(m[3], where + 3 * at, 3 * sizeof(float));
            }
        return out;
    }

    py::array_t<double> quaternions() const {
        const auto frames = static_cast<py::ssize_t>(this->frames());
        const py::ssize_t sensors = position.shape(1);
        py::array_t<double> out({frames, sensors, py::ssize_t{4}});
        double* data = out.mutable_data();
        const float* turned = angles.data();
        const std::int32_t* present = sensorCounts.data();
        const py::gil_scoped_release unlocked;
        for (py::ssize_t t = 0; t < frames; ++t)
            for (py::ssize_t s = 0; s < sensors; ++s) {
                const py::ssize_t at = t * sensors + s;
                if (s >= present[t]) {
                    std::fill_n(data + 4 * at, 4, std::numeric_limits<double>::quiet_NaN());
                    continue;
                }
                float m[4][4];
                const float* angle = turned + 3 * at;
                trackd_pose::poseRotation(m, angle[1], angle[0], angle[2]);
                quaternionOf(&m[0][0], data + 4 * at);
            }
        return out;
    }

    std::string repr() const {
        return "<zoravovar.Recording " + path + ": " + std::to_string(frames()) + " frames, " +
               std::to_string(position.shape(1)) + " sensors, " + std::to_string(buttons.shape(1)) + " buttons, " +
               std::to_string(valuators.shape(1)) + " valuators>";
    }
};

py::object recordingError;

constexpr char HEADER_DOC[] = R"doc(What the recording's first line says, as a new dict each time:
  version         the format's version; 0 for a file from before the header existed
  started         the wall clock at time 0, RFC 3339 UTC with microseconds, such as
                  "2026-12-09T23:35:01.123456Z" (None when the file does not say)
  host            the name of the host that recorded (None when not said)
  tool            the recorder and its version, such as "trackd-monitor 2.1.0" (None when not said)
  tracker_key, controller_key   the System V keys recorded from, as signed 32-bit ints (None when not said)
  sensor_names    the sensors' names (the list names gives)
  installation    None, or the room file it was recorded in: a dict of path, sha256 (its bytes' SHA-256
                  in hex) and content (its text, None when it was too long to keep)
Fields a newer recorder writes that this reader does not know are skipped.)doc";

// The header as Recording.header gives it: every field, None where the file says nothing.
py::dict headerDict(const trackd_tools::RecordingHeader& header) {
    const auto text = [](const std::string& field) -> py::object {
        return field.empty() ? py::object(py::none()) : py::object(py::str(field));
    };
    const auto key = [](const std::optional<std::int32_t>& field) -> py::object {
        return field ? py::object(py::int_(*field)) : py::object(py::none());
    };
    py::dict out;
    out["version"] = header.version;
    out["started"] = text(header.started);
    out["host"] = text(header.host);
    out["tool"] = text(header.tool);
    out["tracker_key"] = key(header.trackerKey);
    out["controller_key"] = key(header.controllerKey);
    out["sensor_names"] = py::cast(header.sensorNames);
    out["installation"] = py::none();
    if (header.installation) {
        py::dict room;
        room["path"] = header.installation->path;
        room["sha256"] = header.installation->sha256;
        room["content"] =
            header.installation->content ? py::object(py::str(*header.installation->content)) : py::object(py::none());
        out["installation"] = room;
    }
    return out;
}

Recording loadRecording(const std::filesystem::path& file) {
    const std::string path = file.string();
    Columns columns;
    std::vector<trackd_tools::RecordingMarker> markers;
    trackd_tools::RecordingHeader header;
    try {
        const py::gil_scoped_release unlocked;
        trackd_tools::RecordingReader reader(path, false, "zoravovar");
        trackd_tools::Snapshot frame;
        trackd_tools::RecordingMarker marker;
        using Entry = trackd_tools::RecordingReader::Entry;
        for (Entry entry = reader.nextEntry(frame, marker); entry != Entry::End;
             entry = reader.nextEntry(frame, marker))
            if (entry == Entry::Frame)
                columns.add(frame);
            else
                markers.push_back(std::move(marker));
        header = reader.header();
    } catch (const trackd_tools::RecordingError& e) {
        py::object error = recordingError(e.what());
        error.attr("path") = e.path();
        error.attr("line") = e.line();
        PyErr_SetObject(recordingError.ptr(), error.ptr());
        throw py::error_already_set();
    } catch (const trackd_tools::RecordingFileError& e) {
        if (e.error() == 0) throw py::value_error(e.what());
        PyErr_SetObject(PyExc_OSError, py::make_tuple(e.error(), std::strerror(e.error()), path).ptr());
        throw py::error_already_set();
    }
    const auto frames = static_cast<py::ssize_t>(columns.time.size());
    const auto sensors = static_cast<py::ssize_t>(columns.sensors);
    const auto buttons = static_cast<py::ssize_t>(columns.buttonsMost);
    const auto valuators = static_cast<py::ssize_t>(columns.valuatorsMost);
    constexpr float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();
    if (!columns.uniform) {
        // Counts that change midway: every frame is laid out for the most any frame holds, the rest NaN.
        columns.position = Columns::padded(columns.position, columns.sensorCounts, columns.sensors, 3, NOT_A_NUMBER);
        columns.angles = Columns::padded(columns.angles, columns.sensorCounts, columns.sensors, 3, NOT_A_NUMBER);
        columns.buttons = Columns::padded(columns.buttons, columns.buttonCounts, columns.buttonsMost, 1, NO_BUTTON);
        columns.valuators =
            Columns::padded(columns.valuators, columns.valuatorCounts, columns.valuatorsMost, 1, NOT_A_NUMBER);
    }
    Recording recording;
    recording.path = path;
    recording.names = header.sensorNames;
    recording.header = headerDict(header);
    for (trackd_tools::RecordingMarker& marker : markers)
        recording.markers.append(py::make_tuple(marker.time, py::str(marker.text)));
    recording.time = adopt(std::move(columns.time), {frames});
    recording.position = adopt(std::move(columns.position), {frames, sensors, 3});
    recording.angles = adopt(std::move(columns.angles), {frames, sensors, 3});
    recording.buttons = adopt(std::move(columns.buttons), {frames, buttons});
    recording.valuators = adopt(std::move(columns.valuators), {frames, valuators});
    recording.sensorCounts = adopt(std::move(columns.sensorCounts), {frames});
    recording.buttonCounts = adopt(std::move(columns.buttonCounts), {frames});
    recording.valuatorCounts = adopt(std::move(columns.valuatorCounts), {frames});
    recording.torn = py::array_t<bool>(frames);
    std::copy(columns.torn.begin(), columns.torn.end(), recording.torn.mutable_data());
    recording.missed = adopt(std::move(columns.missed), {frames});
    return recording;
}

// An installation file loaded by libZoravoVARRoom; every query is the C library's own call, converted.
class Installation {
public:
    static constexpr char NAME[] = "Installation";

    explicit Installation(const std::optional<std::filesystem::path>& given) {
        const std::string asked = given ? given->string() : std::string();
        if (given && asked.empty()) throw py::value_error("the installation file's path is empty");
        if (asked.find('\0') != std::string::npos) throw py::value_error("the installation file's path holds a NUL");
        // $ZORAVOVAR_INSTALLATION may be of any length: the buffer grows until it fits, to a bound.
        std::vector<char> resolved(asked.size() + 4096);
        while (zoravovarRoomResolvePath(given ? asked.c_str() : nullptr, resolved.data(), resolved.size()) == 0) {
            if (resolved.size() > (std::size_t{1} << 20))
                throw py::value_error("the installation file's path is longer than 1 MiB");
            resolved.resize(resolved.size() * 2);
        }
        path_ = resolved.data();
        std::string error(path_.size() + 1024, '\0');
        {
            const py::gil_scoped_release unlocked;
            room_.reset(zoravovarRoomLoadFile(path_.c_str(), error.data(), error.size()));
        }
        if (!room_) {
            error.resize(error.find('\0'));
            refuse(error);
        }
        for (int i = 0; i < zoravovarRoomScreenCount(room_.get()); ++i)
            screenNames_.emplace_back(zoravovarRoomScreenName(room_.get(), i));
        for (int i = 0; i < zoravovarRoomSensorCount(room_.get()); ++i) {
            sensorNames_.emplace_back(zoravovarRoomSensorName(room_.get(), i));
            const int role = zoravovarRoomSensorRole(room_.get(), i);
            sensorRoles_.emplace_back(role == ZORAVOVAR_ROOM_HEAD   ? "head"
                                      : role == ZORAVOVAR_ROOM_WAND ? "wand"
                                                                    : "other");
            sensorIndices_.push_back(zoravovarRoomSensorIndex(room_.get(), i));
        }
    }

    const std::string& path() const { return path_; }
    const std::vector<std::string>& screenNames() const { return screenNames_; }
    const std::vector<std::string>& sensorNames() const { return sensorNames_; }
    const std::vector<std::string>& sensorRoles() const { return sensorRoles_; }
    const std::vector<int>& sensorIndices() const { return sensorIndices_; }

    py::array_t<double> roomPose(const py::object& matrix) const {
        std::array<float, 16> reader = readerMatrix(matrix, "matrix");
        std::array<double, 16> pose{};
        if (zoravovarRoomPose(room_.get(), reader.data(), pose.data()) == 0)
            throw py::value_error("the matrix holds an element that is not finite");
        return columnMajor(pose.data());
    }

    py::array_t<double> eyePosition(const std::string& eye, const py::object& headMatrix) const {
        const int point = eye == "left"     ? ZORAVOVAR_ROOM_LEFT_EYE
                          : eye == "right"  ? ZORAVOVAR_ROOM_RIGHT_EYE
                          : eye == "centre" ? ZORAVOVAR_ROOM_CENTRE_EYE
                                            : 0;
        if (point == 0) throw py::value_error("eye is \"" + eye + "\": it is \"left\", \"right\" or \"centre\"");
        const std::array<float, 16> reader = readerMatrix(headMatrix, "head_matrix");
        const int head = zoravovarRoomFindRole(room_.get(), ZORAVOVAR_ROOM_HEAD);
        if (head < 0) throw py::value_error(path_ + " names no sensor of role \"head\"");
        py::array_t<double> out(3);
        if (zoravovarRoomSensorPoint(room_.get(), head, point, reader.data(), out.mutable_data()) == 0)
            throw py::value_error("the head_matrix holds an element that is not finite");
        return out;
    }

    py::tuple viewProjection(const py::object& screen, const py::object& eyePosition, double near, double far) const {
        const int number = screenNumber(screen);
        const auto eye = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(eyePosition);
        if (!eye || eye.ndim() != 1 || eye.shape(0) != 3)
            throw py::value_error("eye_position is a room point of 3 numbers (float64 (3,))");
        std::array<double, 16> view{}, projection{};
        if (zoravovarRoomScreenMatrices(room_.get(), number, eye.data(), near, far, view.data(), projection.data()) ==
            0) {
            const double* e = eye.data();
            const std::string at = "the eye (" + py::repr(py::float_(e[0])).cast<std::string>() + ", " +
                                   py::repr(py::float_(e[1])).cast<std::string>() + ", " +
                                   py::repr(py::float_(e[2])).cast<std::string>() + ")";
            if (!std::isfinite(e[0]) || !std::isfinite(e[1]) || !std::isfinite(e[2]))
                throw py::value_error(at + " is not finite");
            if (!std::isfinite(near) || !(near > 0)) throw py::value_error("near is not a positive distance");
            if (!std::isfinite(far) || !(far > near)) throw py::value_error("far is not beyond near");
            throw py::value_error(at + " lies on or behind screen \"" + screenNames_[static_cast<std::size_t>(number)] +
                                  "\"'s plane, or the matrices are not finite");
        }
        return py::make_tuple(columnMajor(view.data()), columnMajor(projection.data()));
    }

    std::string repr() const {
        return "<zoravovar.Installation " + path_ + ": " + std::to_string(sensorNames_.size()) + " sensors, " +
               std::to_string(screenNames_.size()) + " screens>";
    }

private:
    struct Free {
        void operator()(ZoravovarRoom* room) const { zoravovarRoomFree(room); }
    };

    // A file that cannot be read is an OSError of its errno (FileNotFoundError, PermissionError, ...); a
    // mistake in it a ValueError whose text is the loader's ("FILE:LINE: field: what is wrong").
    [[noreturn]] void refuse(const std::string& message) const {
        const zoravovar_room::LoadFailure failure = zoravovar_room::classifyLoadFailure(path_, message);
        if (failure.kind == zoravovar_room::LoadFailure::memory) throw std::bad_alloc();
        if (failure.kind == zoravovar_room::LoadFailure::unreadable && failure.error != 0) {
            PyErr_SetObject(PyExc_OSError,
                            py::make_tuple(failure.error, std::generic_category().message(failure.error), path_).ptr());
            throw py::error_already_set();
        }
        if (failure.kind == zoravovar_room::LoadFailure::unreadable) {
            PyErr_SetString(PyExc_OSError, message.c_str());
            throw py::error_already_set();
        }
        throw py::value_error(message);
    }

    // The reader's matrix exactly as Tracker.matrix(i) gives it: float32 (4, 4), row vectors, element [r, c] at
    // r * 4 + c as trackdGetMatrix stores it. Nothing is converted: a float64 or column-vector matrix handed
    // in by mistake is refused rather than rounded or misread.
    static std::array<float, 16> readerMatrix(const py::handle& matrix, const char* name) {
        if (!py::isinstance<py::array>(matrix))
            throw py::type_error(std::string(name) +
                                 " is the reader's float32 (4, 4) matrix, as Tracker.matrix(i) "
                                 "gives it, not a " +
                                 py::str(py::type::handle_of(matrix).attr("__name__")).cast<std::string>());
        const auto array = py::reinterpret_borrow<py::array>(matrix);
        if (!array.dtype().is(py::dtype::of<float>()) || array.ndim() != 2 || array.shape(0) != 4 ||
            array.shape(1) != 4)
            throw py::type_error(
                std::string(name) +
                " is the reader's float32 (4, 4) matrix, as Tracker.matrix(i) "
                "gives it, not " +
                py::str(array.dtype()).cast<std::string>() + " " +
                py::str(py::tuple(py::cast(std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()))))
                    .cast<std::string>());
        const auto m = py::array_t<float>(array).unchecked<2>();
        std::array<float, 16> out{};
        for (py::ssize_t r = 0; r < 4; ++r)
            for (py::ssize_t c = 0; c < 4; ++c) out[static_cast<std::size_t>(r * 4 + c)] = m(r, c);
        return out;
    }

    // The C library's column after column (element [column * 4 + row]) as numpy's m[row, column].
    static py::array_t<double> columnMajor(const double* stored) {
        py::array_t<double> out({4, 4});
        auto m = out.mutable_unchecked<2>();
        for (py::ssize_t r = 0; r < 4; ++r)
            for (py::ssize_t c = 0; c < 4; ++c) m(r, c) = stored[c * 4 + r];
        return out;
    }

    int screenNumber(const py::handle& screen) const {
        const auto count = static_cast<long long>(screenNames_.size());
        if (py::isinstance<py::str>(screen)) {
            const std::string name = screen.cast<std::string>();
            const int number =
                name.find('\0') == std::string::npos ? zoravovarRoomFindScreen(room_.get(), name.c_str()) : -1;
            if (number < 0)
                throw py::key_error("no screen is named " + py::repr(screen).cast<std::string>() + " in " + path_);
            return number;
        }
        if (py::isinstance<py::bool_>(screen) || !PyIndex_Check(screen.ptr()))
            throw py::type_error("screen is a screen's name (str) or number (int)");
        const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(screen.ptr()));
        if (!index) throw py::error_already_set();
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (number == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        // Negative numbers are refused, never counted from the end, as the C library refuses them.
        if (overflow != 0 || number < 0 || number >= count)
            throw py::index_error("screen " + py::str(index).cast<std::string>() + " is out of range: " + path_ +
                                  " has " + std::to_string(count) + " screens");
        return static_cast<int>(number);
    }

    std::string path_;
    std::unique_ptr<ZoravovarRoom, Free> room_;
    std::vector<std::string> screenNames_, sensorNames_, sensorRoles_;
    std::vector<int> sensorIndices_;
};

// A method or property reading `self` only once it holds an initialised T.
template <typename T, typename Base, typename Result, typename... Arguments>
auto bound(Result (Base::*method)(Arguments...) const) {
    return [method](py::handle self, Arguments... arguments) { return (initialised<T>(self).*method)(arguments...); };
}

template <typename T, typename Member>
auto field(Member T::*member) {
    return [member](py::handle self) { return initialised<T>(self).*member; };
}

template <typename Face>
void addClosing(py::class_<Face>& face, const char* name) {
    face.def_property_readonly("key", bound<Face>(&Face::key), "The System V key the segment was attached under.")
        .def_property_readonly("closed", bound<Face>(&Face::closed), "True once close() ran or the with block ended.")
        .def(
            "close", [](py::handle self) { initialised<Face>(self).close(); },
            (std::string("Marks this ") + name +
             " closed: later queries raise ValueError. The segment stays attached until the process ends, as "
             "libZoravoVAR never detaches.")
                .c_str())
        .def("__enter__",
             [](py::handle self) {
                 initialised<Face>(self);
                 return py::reinterpret_borrow<py::object>(self);
             })
        .def("__exit__",
             [](py::handle self, const py::args&) {
                 initialised<Face>(self).close();
                 return false;
             })
        .def("__repr__", bound<Face>(&Face::repr));
}

// The per-index queries, which programs call for every sensor at a display's rate, are METH_FASTCALL
// methods that convert their one index themselves: pybind11's generic dispatcher costs more than a
// fresh (4, 4) array does. Each takes its index by position or by name.
template <py::object (*Query)(py::handle, long long), const char* Argument>
PyObject* indexQuery(PyObject* self, PyObject* const* args, Py_ssize_t positional, PyObject* names) {
    const Py_ssize_t given = positional + (names != nullptr ? PyTuple_GET_SIZE(names) : 0);
    if (given != 1 || (names != nullptr && PyTuple_GET_SIZE(names) == 1 &&
                       PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, 0), Argument) != 0)) {
        PyErr_Format(PyExc_TypeError, "takes exactly one argument, %s", Argument);
        return nullptr;
    }
    long long index = PyLong_AsLongLong(args[0]);
    bool beyond = false;
    if (index == -1 && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;  // not an integer: TypeError
        PyErr_Clear();  // an integer beyond 64 bits is as far out of range as any other
        const py::int_ zero(0);
        index = PyObject_RichCompareBool(args[0], zero.ptr(), Py_LT) == 1 ? std::numeric_limits<long long>::min()
                                                                          : std::numeric_limits<long long>::max();
        beyond = true;
    }
    try {
        return Query(self, index).release().ptr();
    } catch (const py::index_error& e) {
        std::string message = e.what();
        if (beyond) {  // the message names the index as given, not the 64-bit bound it was compared as
            const std::string bound = std::to_string(index);
            if (const std::size_t at = message.find(bound); at != std::string::npos)
                message.replace(at, bound.size(), py::str(args[0]).cast<std::string>());
        }
        PyErr_SetString(PyExc_IndexError, message.c_str());
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

constexpr char SENSOR[] = "sensor";
constexpr char BUTTON[] = "button";
constexpr char VALUATOR[] = "valuator";

template <typename Face>
const Face& face(py::handle self) {
    return initialised<Face>(self);
}

py::object positionOf(py::handle self, long long sensor) { return face<Tracker>(self).position(sensor); }
py::object anglesOf(py::handle self, long long sensor) { return face<Tracker>(self).angles(sensor); }
py::object matrixOf(py::handle self, long long sensor) { return face<Tracker>(self).matrix(sensor); }
py::object quaternionOfSensor(py::handle self, long long sensor) {
    const py::array_t<float> matrix = face<Tracker>(self).matrix(sensor);
    py::array_t<double> out(4);
    quaternionOf(matrix.data(), out.mutable_data());
    return out;
}
py::object buttonOf(py::handle self, long long button) { return py::int_(face<Controller>(self).button(button)); }
py::object valuatorOf(py::handle self, long long valuator) {
    return py::float_(face<Controller>(self).valuator(valuator));
}

template <py::object (*Query)(py::handle, long long), const char* Argument>
PyMethodDef indexMethod(const char* name, const char* doc) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): CPython's calling conventions
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&indexQuery<Query, Argument>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef TRACKER_QUERIES[] = {
    indexMethod<positionOf, SENSOR>(
        "position",
        "position($self, sensor)\n--\n\n"
        "The sensor's position x, y, z: float32 array of shape (3,), bit for bit as trackd wrote it."),
    indexMethod<anglesOf, SENSOR>("angles",
                                  "angles($self, sensor)\n--\n\n"
                                  "The sensor's rotation angles in degrees in the order X, Y, Z (trackd stores Y, X, "
                                  "Z): float32 (3,)."),
    indexMethod<matrixOf, SENSOR>(
        "matrix",
        "matrix($self, sensor)\n--\n\n"
        "The sensor's pose as trackdGetMatrix gives it, bit for bit: float32 (4, 4) for row vectors\n"
        "(p' = p @ M), rotation Z x X x Y in rows 0 to 2, the position in row 3, column 3 (0, 0, 0, 1).\n"
        "Use matrix(i).T for the column-vector form."),
    indexMethod<quaternionOfSensor, SENSOR>(
        "quaternion",
        "quaternion($self, sensor)\n--\n\n"
        "The rotation of matrix(sensor) as a unit quaternion w, x, y, z: float64 (4,), as\n"
        "zoravovar.quaternions(matrix) gives it (see there for the convention)."),
};

PyMethodDef CONTROLLER_QUERIES[] = {
    indexMethod<buttonOf, BUTTON>("button",
                                  "button($self, button)\n--\n\n"
                                  "The button's whole 32-bit value (not reduced to 0 or 1)."),
    indexMethod<valuatorOf, VALUATOR>("valuator",
                                      "valuator($self, valuator)\n--\n\n"
                                      "The valuator's value, as a float32 widened exactly."),
};

template <typename Face, std::size_t Count>
void addIndexQueries(py::class_<Face>& face, PyMethodDef (&methods)[Count]) {
    for (PyMethodDef& method : methods) {
        PyObject* descriptor = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(face.ptr()), &method);
        if (descriptor == nullptr) throw py::error_already_set();
        face.attr(method.ml_name) = py::reinterpret_steal<py::object>(descriptor);
    }
}

}  // namespace

PYBIND11_MODULE(_zoravovar, m) {
    m.doc() = "Native part of zoravovar; import zoravovar instead.";
    m.attr("DEFAULT_TRACKER_KEY") = trackd_tools::DEFAULT_TRACKER_KEY;
    m.attr("DEFAULT_CONTROLLER_KEY") = trackd_tools::DEFAULT_CONTROLLER_KEY;
    m.attr("NO_BUTTON") = NO_BUTTON;
    m.attr("LONGEST_MARKER") = trackd_tools::LONGEST_MARKER;
    m.attr("__version__") = ZORAVOVAR_VERSION_TEXT;
    m.def(
        "library_version", [] { return std::string(getZoravoVARVersion()); },
        "The version text of the libZoravoVAR this module runs on, such as 'ZoravoVAR Version 2.1'.");

    py::class_<Tracker> tracker(m, "Tracker", R"doc(trackd's tracker segment: one pose per sensor, read live.

Tracker(key=7401) attaches the segment trackd published under the System V key (decimal, or hex such
as 0x1ce9). Every query reads the segment afresh through libZoravoVAR. Errors raise:
FileNotFoundError when no segment exists for the key (key 0, IPC_PRIVATE, names none),
PermissionError when the process may not attach it read-write, ValueError when it is smaller than a
tracker segment or the key is no 32-bit one, OSError (errno ENOMEM) when the process has no memory or
mappings left to map it; each message names the key as the tools do, "0x00001ce9 (7401)". All objects
for one segment share one attachment in the process.

Sensor indices run from 0 to sensor_count - 1; any other index, negative ones included (they are not
counted from the end), raises IndexError naming the count. Positions are in trackd's unit, angles in
degrees. Use it as a context manager; leaving the block marks it closed, the segment stays attached.)doc");
    tracker.def(py::init<const py::object&>(), py::arg("key") = trackd_tools::DEFAULT_TRACKER_KEY)
        .def_property_readonly("sensor_count", bound<Tracker>(&Tracker::sensorCount),
                               "The number of sensors, as trackd's header gives it now.")
        .def("matrices", bound<Tracker>(&Tracker::matrices),
             "Every sensor's pose in one call: float32 (sensor_count, 4, 4), each as matrix(i) gives it.\n"
             "Raises ValueError when trackd's header claims sensors that lie outside its segment.");
    addClosing(tracker, "Tracker");
    addIndexQueries(tracker, TRACKER_QUERIES);

    py::class_<Controller> controller(m, "Controller",
                                      R"doc(trackd's controller segment: buttons and valuators, read live.

Controller(key=7402) attaches the segment; errors raise as for Tracker (FileNotFoundError,
PermissionError, ValueError, each naming the key). Indices out of range, negative ones included,
raise IndexError naming the count. Use it as a context manager; leaving the block marks it closed.)doc");
    controller.def(py::init<const py::object&>(), py::arg("key") = trackd_tools::DEFAULT_CONTROLLER_KEY)
        .def_property_readonly("button_count", bound<Controller>(&Controller::buttonCount),
                               "The number of buttons trackd announces.")
        .def_property_readonly("valuator_count", bound<Controller>(&Controller::valuatorCount),
                               "The number of valuators trackd announces.")
        .def("buttons", bound<Controller>(&Controller::buttons),
             "Every button's value: int32 array of shape (button_count,).\n"
             "Raises ValueError when trackd's header claims buttons that lie outside its segment.")
        .def("valuators", bound<Controller>(&Controller::valuators),
             "Every valuator's value: float32 array of shape (valuator_count,).\n"
             "Raises ValueError when trackd's header claims valuators that lie outside its segment.");
    addClosing(controller, "Controller");
    addIndexQueries(controller, CONTROLLER_QUERIES);

    py::class_<Installation>(m, "Installation",
                             R"doc(The installation file: the tracker's calibration, the sensors, the screens.

Installation(path=None) loads the file through libZoravoVARRoom, the parser every face of ZoravoVAR
shares: the path given, else $ZORAVOVAR_INSTALLATION, else /etc/zoravovar/installation.toml. A file
that cannot be read raises OSError (FileNotFoundError, PermissionError, IsADirectoryError, ...); a
mistake in it raises ValueError whose text is the library's, "FILE:LINE: field: what is wrong".

Every matrix it gives is float64 (4, 4) acting on COLUMN vectors, indexed as numpy does, m[row, column]:
clip = projection @ view @ [x, y, z, 1], clip z from -1 to 1, as OpenGL's math and GLM have it. OpenGL
takes a matrix column after column: hand it m.T.ravel() (or m.ravel(order="F")) with transpose False.
The reader's matrix (Tracker.matrix(i)) acts on ROW vectors and is never handed to OpenGL as it is;
room_pose turns it into the room's column-vector pose. Every number is the C library's own result,
bit for bit.)doc")
        .def(py::init<const std::optional<std::filesystem::path>&>(), py::arg("path") = py::none())
        .def_property_readonly("path", bound<Installation>(&Installation::path),
                               "The file that was loaded, after the lookup.")
        .def_property_readonly("screen_names", bound<Installation>(&Installation::screenNames),
                               "The screens' names in the file's order; a screen's number is its place here.")
        .def_property_readonly("sensor_names", bound<Installation>(&Installation::sensorNames),
                               "The sensors' names in the file's order.")
        .def_property_readonly("sensor_roles", bound<Installation>(&Installation::sensorRoles),
                               "Each sensor's role in the file's order: \"head\", \"wand\" or \"other\".")
        .def_property_readonly("sensor_indices", bound<Installation>(&Installation::sensorIndices),
                               "Each sensor's tracker index (the index Tracker.matrix takes), in the file's order.")
        .def("room_pose", bound<Installation>(&Installation::roomPose), py::arg("matrix"),
             "The room pose for the reader's pose matrix: float64 (4, 4), column vectors, from the sensor's\n"
             "own frame in metres to the room. `matrix` is float32 (4, 4) exactly as Tracker.matrix(i) gives it\n"
             "(row vectors, tracker unit and frame); anything else raises TypeError, a non-finite element\n"
             "ValueError.")
        .def("eye_position", bound<Installation>(&Installation::eyePosition), py::arg("eye"), py::arg("head_matrix"),
             "Where the eye \"left\", \"right\" or \"centre\" (their midpoint) lies in the room, float64 (3,) in\n"
             "metres, for the reader's float32 (4, 4) matrix of the head (the file's first sensor of role\n"
             "\"head\"). Raises ValueError for another eye, a file without a head, a non-finite matrix.")
        .def("view_projection", bound<Installation>(&Installation::viewProjection), py::arg("screen"),
             py::arg("eye_position"), py::arg("near"), py::arg("far"),
             "The pair (view, projection), float64 (4, 4) each, for an eye at eye_position (room metres)\n"
             "looking at the screen (its name, or its number in screen_names), near and far planes in metres\n"
             "from the eye: the generalized perspective projection, whose screen corners land on clip (-1, -1),\n"
             "(1, -1) and (-1, 1). An unknown name raises KeyError, a number out of range IndexError (negative\n"
             "ones are not counted from the end); near <= 0, far <= near, a non-finite eye or one on or\n"
             "behind the screen's plane raise ValueError.")
        .def("__repr__", bound<Installation>(&Installation::repr));

    recordingError = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("zoravovar.RecordingError",
                                  "A recording's line is malformed or of a format this module does not read; "
                                  "str() is 'PATH:LINE: REASON', and the attributes path and line name it.",
                                  PyExc_ValueError, nullptr));
    m.attr("RecordingError") = recordingError;

    py::class_<Recording>(m, "Recording", R"doc(A recording of trackd-monitor --record, loaded whole as numpy arrays.

T frames, N sensors, B buttons, V valuators:
  time       float64 (T,)       seconds since the recording began
  position   float32 (T, N, 3)  x, y, z, bit for bit as recorded
  angles     float32 (T, N, 3)  X, Y, Z in degrees, bit for bit as recorded
  buttons    int64   (T, B)
  valuators  float32 (T, V)
JSON null (NaN or infinity when recorded) reads as NaN. When the numbers of sensors, buttons or
valuators change midway (trackd restarted with other settings), N, B and V are the most any frame
holds and each frame's missing entries are NaN, or NO_BUTTON for buttons; sensor_counts,
button_counts and valuator_counts (int32 (T,)) give each frame's own numbers. torn (bool (T,)) and
missed (uint32 (T,)) mark the frames to distrust, markers lists the markers, header the first line.
to_dataframe(), to_csv(path) and to_hdf5(path) export it (pandas, h5py), resample(hz) makes it uniform.)doc")
        .def_property_readonly("path", field(&Recording::path), "The file the recording was read from.")
        .def_property_readonly(
            "names", field(&Recording::names),
            "The sensors' names from the recording's first line (trackd-monitor --names), sensor 0's\n"
            "first; an empty list when it names none, and sensors beyond the list are unnamed.")
        .def_property_readonly("time", field(&Recording::time), "Seconds since the recording began: float64 (T,).")
        .def_property_readonly("position", field(&Recording::position),
                               "Each frame's sensor positions: float32 (T, N, 3).")
        .def_property_readonly("angles", field(&Recording::angles),
                               "Each frame's sensor angles X, Y, Z in degrees: float32 (T, N, 3).")
        .def_property_readonly("buttons", field(&Recording::buttons), "Each frame's buttons: int64 (T, B).")
        .def_property_readonly("valuators", field(&Recording::valuators), "Each frame's valuators: float32 (T, V).")
        .def_property_readonly("sensor_counts", field(&Recording::sensorCounts),
                               "How many sensors each frame holds: int32 (T,).")
        .def_property_readonly("button_counts", field(&Recording::buttonCounts),
                               "How many buttons each frame holds: int32 (T,).")
        .def_property_readonly("valuator_counts", field(&Recording::valuatorCounts),
                               "How many valuators each frame holds: int32 (T,).")
        .def_property_readonly("torn", field(&Recording::torn),
                               "Whether the recorder read each frame while trackd was still changing the segments\n"
                               "(after its attempts to let the writes settle): bool (T,). Such a frame may mix\n"
                               "two updates; False throughout for files from before the recorder marked them.")
        .def_property_readonly(
            "missed", field(&Recording::missed),
            "How many of trackd's writes the recorder estimates it missed just before each frame (a gap of\n"
            "more than 1.5 of trackd's periods, or a late wake-up): uint32 (T,), 0 when none.")
        .def_property_readonly(
            "markers",
            [](py::handle self) {
                return py::reinterpret_steal<py::list>(PySequence_List(initialised<Recording>(self).markers.ptr()));
            },
            "The markers sent while recording (trackd-monitor --mark, zoravovar.send_marker):\n"
            "a list of (time, text) pairs in the file's order, time on the frames' clock.")
        .def_property_readonly(
            "header",
            [](py::handle self) {
                return py::module_::import("copy").attr("deepcopy")(initialised<Recording>(self).header);
            },
            HEADER_DOC)
        .def("matrices", bound<Recording>(&Recording::matrices),
             "Every frame's sensor poses: float32 (T, N, 4, 4), made from position and angles exactly as\n"
             "trackdGetMatrix makes them (bit for bit for the same angles); a sensor a frame lacks is NaN.")
        .def("quaternions", bound<Recording>(&Recording::quaternions),
             "Every frame's sensor rotations as unit quaternions w, x, y, z: float64 (T, N, 4), from the\n"
             "matrices matrices() gives, as zoravovar.quaternions converts them; a sensor a frame lacks is NaN.")
        .def("__len__", bound<Recording>(&Recording::frames))
        .def("__repr__", bound<Recording>(&Recording::repr));

    m.def("quaternions", &quaternions, py::arg("matrices"), R"doc(The rotations of pose matrices as unit quaternions.

matrices: the reader's pose matrices, shape (..., 4, 4) (Tracker.matrix(i), Recording.matrices()),
for row vectors: p' = p @ M. Gives float64 (..., 4): w, x, y, z, Hamilton's convention, w first. The
quaternion q is the rotation the matrix applies, p @ M[:3, :3] == q p q* (the column-vector rotation
R = M[:3, :3].T), in trackd's right-handed frame: q = (cos(a/2), sin(a/2) * axis) turns by the angle a
counterclockwise about the axis, seen from its tip. For a sensor, q turns the sensor's own axes into
the tracker's. w >= 0; for a half turn (w == 0) the largest of x, y, z is positive. Computed in
float64 by Shepperd's method (from the largest component, so half turns lose no precision) and
normalised; a matrix holding a NaN gives NaN.)doc");

    m.def("load_recording", &loadRecording, py::arg("path"), R"doc(Loads a recording that trackd-monitor --record wrote.

Reads format versions 1 and 2 and the headerless files from before the header, with the same reader
that trackd-sim --play uses, and keeps every float bit for bit; the markers between the frames come
as Recording.markers, the first line as Recording.header. Raises RecordingError (a ValueError) naming
the line for a malformed line, another format or a newer version, or time going backwards; OSError
(FileNotFoundError, PermissionError, IsADirectoryError) when the file cannot be read.)doc");
}
