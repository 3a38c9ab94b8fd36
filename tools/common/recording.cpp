// Reads trackd-monitor's recordings with simdjson, a line at a time, every float bit for bit.
#include "recording.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

// Recordings of any length: the build gives 64-bit file offsets on every system.
static_assert(sizeof(off_t) == sizeof(std::int64_t));

namespace trackd_tools {

namespace {

using simdjson::error_code;
using simdjson::ondemand::value;

constexpr std::size_t MAX_LINE_BYTES = std::size_t{1} << 20;
constexpr std::size_t READ_BYTES = std::size_t{1} << 16;

[[noreturn]] void invalid(const std::string& what) { throw std::invalid_argument(what); }

[[noreturn]] void tooMany(std::uint32_t most, const char* items) {
    invalid("a frame holds more than " + std::to_string(most) + " " + items + ", the most a recording may hold");
}

[[noreturn]] void notJson(error_code error) {
    invalid(std::string("not a JSON line (") + simdjson::error_message(error) + ")");
}

template <typename Result>
auto take(Result&& result) {
    if (result.error() != simdjson::SUCCESS) notJson(result.error());
    return std::forward<Result>(result).value_unsafe();
}

// The number's text as the line has it.
std::string_view token(value& v) {
    std::string_view text = v.raw_json_token();
    while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) text.remove_suffix(1);
    return text;
}

// The token's text for a message, cut short when long.
std::string tokenText(value& v) { return std::string(token(v).substr(0, 40)); }

// Whether the double nearest a decimal may lie exactly halfway between two floats, where rounding it
// again could land on the float farther from the decimal: the 29 bits of its fraction that a float lacks
// are 1 then zeros. Below the normal floats, where halfway points have fewer bits, it may always.
bool mayBeHalfway(double nearest) {
    constexpr std::uint64_t BITS_A_FLOAT_LACKS = (std::uint64_t{1} << 29) - 1;
    return (std::bit_cast<std::uint64_t>(nearest) & BITS_A_FLOAT_LACKS) == std::uint64_t{1} << 28 ||
           (nearest != 0 && std::fabs(nearest) < std::numeric_limits<float>::min());
}

// A JSON number rounded once, from its decimal to the nearest float; null is a quiet NaN. The double
// nearest the decimal rounds to the same float unless it lies halfway between two (a halfway point
// nearer the decimal would be a nearer double), so only then is the decimal read again into a float.
float floatFrom(value v, const char* what) {
    double nearest = 0;
    if (const error_code error = v.get_double().get(nearest); error != simdjson::SUCCESS) {
        bool isNull = false;
        if (error == simdjson::INCORRECT_TYPE && v.is_null().get(isNull) == simdjson::SUCCESS && isNull)
            return std::numeric_limits<float>::quiet_NaN();
        if (error == simdjson::INCORRECT_TYPE) invalid(std::string(what) + " is not a number");
        if (error == simdjson::NUMBER_ERROR) {
            // simdjson refuses a well-formed decimal beyond a double's range as it does a malformed one.
            const std::string_view text = token(v);
            double beyond = 0;
            const auto read = std::from_chars(text.data(), text.data() + text.size(), beyond);
            if (read.ec == std::errc::result_out_of_range && read.ptr == text.data() + text.size())
                invalid("a number does not fit in a float: '" + tokenText(v) + "'");
        }
        notJson(error);
    }
    auto rounded = static_cast<float>(nearest);
    if (mayBeHalfway(nearest)) {
        const std::string_view text = token(v);
        std::from_chars(text.data(), text.data() + text.size(), rounded);
    }
    if (std::isinf(rounded)) invalid("a number does not fit in a float: '" + tokenText(v) + "'");
    return rounded;
}

// A value nobody reads, checked as JSON all the same so that a malformed line is never taken. `depth`
// counts the arrays and objects around it; the check recurses once a level, so it refuses to go deeper
// than DEEPEST_NESTING.
void checkJson(value v, int depth) {
    const simdjson::ondemand::json_type type = take(v.type());
    if ((type == simdjson::ondemand::json_type::array || type == simdjson::ondemand::json_type::object) &&
        depth >= DEEPEST_NESTING)
        invalid("arrays and objects nest deeper than " + std::to_string(DEEPEST_NESTING) + " levels");
    switch (type) {
        case simdjson::ondemand::json_type::array:
            for (auto item : take(v.get_array())) checkJson(take(item), depth + 1);
            break;
        case simdjson::ondemand::json_type::object:
            for (auto field : take(v.get_object())) {
                auto entry = take(std::move(field));
                take(entry.unescaped_key());
                checkJson(entry.value(), depth + 1);
            }
            break;
        case simdjson::ondemand::json_type::number:
            take(v.get_number());
            break;
        case simdjson::ondemand::json_type::string:
            take(v.get_string());
            break;
        case simdjson::ondemand::json_type::boolean:
            take(v.get_bool());
            break;
        case simdjson::ondemand::json_type::null:
            if (!take(v.is_null())) notJson(simdjson::N_ATOM_ERROR);
            break;
    }
}

simdjson::ondemand::array arrayOf(value v, const char* what) {
    simdjson::ondemand::array array;
    if (const error_code error = v.get_array().get(array); error != simdjson::SUCCESS) {
        if (error == simdjson::INCORRECT_TYPE) invalid(std::string(what) + " is not an array");
        notJson(error);
    }
    return array;
}

void readTriple(value v, const char* what, std::array<float, 3>& into) {
    std::size_t count = 0;
    for (auto item : arrayOf(v, what)) {
        value number = take(item);
        if (count == 3) invalid(std::string(what) + " is not 3 numbers");
        into[count++] = floatFrom(number, what);
    }
    if (count != 3) invalid(std::string(what) + " is not 3 numbers");
}

void readSensor(value v, SensorState& into) {
    simdjson::ondemand::object sensor;
    if (const error_code error = v.get_object().get(sensor); error != simdjson::SUCCESS) {
        if (error == simdjson::INCORRECT_TYPE) invalid("a sensor lacks \"position\" or \"angles\"");
        notJson(error);
    }
    bool position = false, angles = false;
    for (auto field : sensor) {
        auto entry = take(std::move(field));
        const std::string_view key = take(entry.unescaped_key());
        if (key == "position" && !position) {
            readTriple(entry.value(), "a position", into.position);
            position = true;
        } else if (key == "angles" && !angles) {
            readTriple(entry.value(), "angles", into.angles);
            angles = true;
        } else if (key == "position" || key == "angles") {
            invalid("a sensor holds \"" + std::string(key) + "\" twice");
        } else {
            checkJson(entry.value(), 3);  // in the line's object, its sensors' array and the sensor
        }
    }
    if (!position || !angles) invalid("a sensor lacks \"position\" or \"angles\"");
}

std::int32_t buttonFrom(value v) {
    // Any integer arrives here whole, however large; only those a 32-bit word holds are buttons.
    std::int64_t button = 0;
    const error_code error = v.get_int64().get(button);
    if (error == simdjson::SUCCESS && button >= std::numeric_limits<std::int32_t>::min() &&
        button <= std::numeric_limits<std::int32_t>::max())
        return static_cast<std::int32_t>(button);
    if (error == simdjson::SUCCESS || error == simdjson::INCORRECT_TYPE || error == simdjson::NUMBER_OUT_OF_RANGE)
        invalid("a button is not a 32-bit integer");
    notJson(error);
}

// The parser and a copy of the line with the padding simdjson reads past its end.
struct LineParser {
    simdjson::ondemand::parser parser;
    std::vector<char> padded;

    simdjson::ondemand::document iterate(std::string_view text) {
        if (padded.size() < text.size() + simdjson::SIMDJSON_PADDING)
            padded.resize(text.size() + simdjson::SIMDJSON_PADDING);
        std::memcpy(padded.data(), text.data(), text.size());
        simdjson::ondemand::document document;
        if (const error_code error =
                parser.iterate(simdjson::padded_string_view(padded.data(), text.size(), padded.size())).get(document);
            error != simdjson::SUCCESS)
            notJson(error);
        return document;
    }
};

LineParser& lineParser() {
    thread_local LineParser parser;
    return parser;
}

void checkNothingFollows(simdjson::ondemand::document& document) {
    const char* rest = nullptr;
    if (document.current_location().get(rest) == simdjson::SUCCESS) notJson(simdjson::TRAILING_CONTENT);
}

}  // namespace

bool readEntry(std::string_view text, double maxTime, Snapshot& into, RecordingMarker& marker) {
    simdjson::ondemand::document document = lineParser().iterate(text);
    simdjson::ondemand::object line;
    if (const error_code error = document.get_object().get(line); error != simdjson::SUCCESS) {
        if (error == simdjson::INCORRECT_TYPE) invalid("not a JSON object");
        notJson(error);
    }
    bool time = false, sensors = false, buttons = false, valuators = false, torn = false, missed = false;
    bool isMarker = false;
    double seconds = 0;
    into.sensors.clear();
    into.buttons.clear();
    into.valuators.clear();
    into.torn = false;
    into.missed = 0;
    for (auto field : line) {
        auto entry = take(std::move(field));
        const std::string_view key = take(entry.unescaped_key());
        const auto once = [&](bool& seen) {
            if (seen) invalid("\"" + std::string(key) + "\" appears twice");
            seen = true;
        };
        if (key == "time") {
            once(time);
            if (const error_code error = entry.value().get_double().get(seconds); error != simdjson::SUCCESS) {
                if (error == simdjson::INCORRECT_TYPE) invalid("\"time\" is not a number of seconds");
                invalid("\"time\" is not a number of seconds that the clock can hold");
            }
            if (!std::isfinite(seconds) || seconds < 0 || seconds > maxTime)
                invalid("\"time\" is not a number of seconds that the clock can hold");
        } else if (key == "torn") {
            once(torn);
            if (entry.value().get_bool().get(into.torn) != simdjson::SUCCESS) invalid("\"torn\" is not true or false");
        } else if (key == "missed") {
            once(missed);
            std::uint64_t count = 0;
            if (entry.value().get_uint64().get(count) != simdjson::SUCCESS ||
                count > std::numeric_limits<std::uint32_t>::max())
                invalid("\"missed\" is not a count of writes");
            into.missed = static_cast<std::uint32_t>(count);
        } else if (key == "marker") {
            once(isMarker);
            std::string_view markerText;
            if (entry.value().get_string().get(markerText) != simdjson::SUCCESS) invalid("\"marker\" is not a string");
            if (const std::string problem = markerProblem(markerText); !problem.empty())
                invalid("the marker " + problem);
            marker.text.assign(markerText);
        } else if (key == "sensors") {
            once(sensors);
            for (auto item : arrayOf(entry.value(), "\"sensors\"")) {
                if (into.sensors.size() == MOST_SENSORS) tooMany(MOST_SENSORS, "sensors");
                into.sensors.emplace_back();
                readSensor(take(item), into.sensors.back());
            }
        } else if (key == "buttons") {
            once(buttons);
            for (auto item : arrayOf(entry.value(), "\"buttons\"")) {
                if (into.buttons.size() == MOST_CONTROLS) tooMany(MOST_CONTROLS, "buttons");
                into.buttons.push_back(buttonFrom(take(item)));
            }
        } else if (key == "valuators") {
            once(valuators);
            for (auto item : arrayOf(entry.value(), "\"valuators\"")) {
                if (into.valuators.size() == MOST_CONTROLS) tooMany(MOST_CONTROLS, "valuators");
                into.valuators.push_back(floatFrom(take(item), "a valuator"));
            }
        } else {
            checkJson(entry.value(), 1);
        }
    }
    checkNothingFollows(document);
    if (isMarker) {
        if (sensors || buttons || valuators || torn || missed) invalid("a marker line holds a frame's fields");
        if (!time) invalid("no \"time\" field");
        marker.time = seconds;
        return true;
    }
    for (const auto& [seen, name] : {std::pair{time, "time"}, std::pair{sensors, "sensors"},
                                     std::pair{buttons, "buttons"}, std::pair{valuators, "valuators"}})
        if (!seen) invalid(std::string("no \"") + name + "\" field");
    into.time = seconds;
    return false;
}

void readSnapshot(std::string_view text, double maxTime, Snapshot& into) {
    RecordingMarker marker;
    if (readEntry(text, maxTime, into, marker)) invalid("a marker, not a frame");
}

// The bytes read from the file and not yet returned as lines.
struct RecordingReader::Buffer {
    std::vector<char> bytes;
    std::size_t begin = 0;  // first byte not yet returned
    std::size_t end = 0;    // one past the last byte read
    bool atEnd = false;
};

RecordingReader::RecordingReader(const std::string& path, bool rewindable, const std::string& reader)
    : path_(path), reader_(reader), buffer_(std::make_unique<Buffer>()) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw RecordingFileError(errno, "cannot read the recording " + path + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw RecordingFileError(EISDIR, path + " is a directory, not a recording");
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        throw RecordingFileError(0, path + " is a device, not a recording");
    if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode))
        throw RecordingFileError(0, path + " is neither a file nor a pipe");
    if (rewindable && !S_ISREG(info.st_mode))
        throw RecordingFileError(ESPIPE, path + " is a pipe: --loop cannot go back to its start");
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw RecordingFileError(errno, "cannot read the recording " + path + ": " + std::strerror(errno));
}

RecordingReader::~RecordingReader() { close(fd_); }

bool RecordingReader::readLine(std::string_view& text) {
    Buffer& b = *buffer_;
    std::size_t scanned = b.begin;
    for (;;) {
        // An empty buffer may have no storage at all: memchr must not see its null pointer.
        const char* newline =
            b.end > scanned ? static_cast<const char*>(std::memchr(b.bytes.data() + scanned, '\n', b.end - scanned))
                            : nullptr;
        if (newline != nullptr || (b.atEnd && b.end > b.begin)) {
            const std::size_t stop = newline != nullptr ? static_cast<std::size_t>(newline - b.bytes.data()) : b.end;
            ++line_;
            if (stop - b.begin > MAX_LINE_BYTES) throw error("the line is longer than 1 MiB");
            text = std::string_view(b.bytes.data() + b.begin, stop - b.begin);
            const std::size_t next = newline != nullptr ? stop + 1 : stop;
            consumed_ += static_cast<std::int64_t>(next - b.begin);
            b.begin = next;
            return true;
        }
        if (b.atEnd) return false;
        if (b.end - b.begin > MAX_LINE_BYTES) {
            ++line_;
            throw error("the line is longer than 1 MiB");
        }
        // Keep the unreturned bytes at the front, then read more behind them.
        if (b.begin > 0) {
            std::memmove(b.bytes.data(), b.bytes.data() + b.begin, b.end - b.begin);
            b.end -= b.begin;
            b.begin = 0;
        }
        scanned = b.end;
        if (b.bytes.size() < b.end + READ_BYTES) b.bytes.resize(b.end + READ_BYTES);
        const ssize_t got = ::read(fd_, b.bytes.data() + b.end, READ_BYTES);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0)
            throw RecordingFileError(errno, "cannot read the recording " + path_ + ": " + std::strerror(errno));
        if (got == 0) b.atEnd = true;
        b.end += static_cast<std::size_t>(got);
    }
}

namespace {

// The header's fields besides its format and version, each judged only once the line proves to be a
// header (in a frame, an unknown field is skipped); the first problem is kept.
struct HeaderFields {
    RecordingHeader header;
    std::string problem;
    std::vector<std::string> seen;

    void refuse(const std::string& why) {
        if (problem.empty()) problem = why;
    }

    // False, and the value checked as JSON, where it is not a string.
    bool readString(value v, const char* name, std::string& into, int depth) {
        std::string_view text;
        if (v.get_string().get(text) == simdjson::SUCCESS) {
            into.assign(text);
            return true;
        }
        refuse(std::string("\"") + name + "\" is not a string");
        checkJson(v, depth);
        return false;
    }

    void readKey(value v, const char* name, std::optional<std::int32_t>& into) {
        std::int64_t key = 0;
        if (v.get_int64().get(key) == simdjson::SUCCESS && key >= std::numeric_limits<std::int32_t>::min() &&
            key <= std::numeric_limits<std::int32_t>::max()) {
            into = static_cast<std::int32_t>(key);
            return;
        }
        refuse(std::string("\"") + name + "\" is not a System V key (a 32-bit integer)");
        checkJson(v, 1);
    }

    void readNames(value v) {
        simdjson::ondemand::array array;
        if (v.get_array().get(array) != simdjson::SUCCESS) {
            refuse("\"sensorNames\" is not an array of strings");
            checkJson(v, 1);
            return;
        }
        for (auto item : array) {
            value name = take(item);
            std::string_view text;
            if (name.get_string().get(text) == simdjson::SUCCESS) {
                header.sensorNames.emplace_back(text);
            } else {
                refuse("\"sensorNames\" is not an array of strings");
                checkJson(name, 2);
            }
        }
    }

    void readInstallation(value v) {
        simdjson::ondemand::object object;
        if (v.get_object().get(object) != simdjson::SUCCESS) {
            refuse("\"installation\" is not an object");
            checkJson(v, 1);
            return;
        }
        RecordingInstallation room;
        for (auto field : object) {
            auto entry = take(std::move(field));
            const std::string_view key = take(entry.unescaped_key());
            if (key == "path") {
                readString(entry.value(), "installation\": \"path", room.path, 2);
            } else if (key == "sha256") {
                readString(entry.value(), "installation\": \"sha256", room.sha256, 2);
            } else if (key == "content") {
                std::string content;
                if (readString(entry.value(), "installation\": \"content", content, 2))
                    room.content = std::move(content);
            } else {
                checkJson(entry.value(), 2);
            }
        }
        header.installation = std::move(room);
    }

    // Reads `key`'s value if it is a field this reader knows; false, and nothing read, if not.
    bool read(std::string_view key, value v) {
        static constexpr std::string_view KNOWN[] = {"started",       "host",        "tool",        "trackerKey",
                                                     "controllerKey", "sensorNames", "installation"};
        bool known = false;
        for (std::string_view name : KNOWN) known = known || key == name;
        if (!known) return false;
        for (const std::string& before : seen)
            if (before == key) refuse("\"" + std::string(key) + "\" appears twice");
        seen.emplace_back(key);
        if (key == "started")
            readString(v, "started", header.started, 1);
        else if (key == "host")
            readString(v, "host", header.host, 1);
        else if (key == "tool")
            readString(v, "tool", header.tool, 1);
        else if (key == "trackerKey")
            readKey(v, "trackerKey", header.trackerKey);
        else if (key == "controllerKey")
            readKey(v, "controllerKey", header.controllerKey);
        else if (key == "sensorNames")
            readNames(v);
        else
            readInstallation(v);
        return true;
    }
};

}  // namespace

// A first line that names the format: true when this version reads it, an exception when it does not.
bool RecordingReader::isHeader(std::string_view text) {
    simdjson::ondemand::document document = lineParser().iterate(text);
    simdjson::ondemand::object line;
    if (document.get_object().get(line) != simdjson::SUCCESS) return false;
    std::string format;
    bool named = false;
    std::int64_t version = 0;
    error_code versionRead = simdjson::NO_SUCH_FIELD;
    HeaderFields fields;
    for (auto field : line) {
        auto entry = take(std::move(field));
        const std::string_view key = take(entry.unescaped_key());
        if (key == "format") {
            named = true;
            std::string_view name;
            format = entry.value().get_string().get(name) == simdjson::SUCCESS ? std::string(name)
                                                                               : tokenText(entry.value());
        } else if (key == "version") {
            versionRead = entry.value().get_int64().get(version);
            if (versionRead != simdjson::SUCCESS) checkJson(entry.value(), 1);
        } else if (!fields.read(key, entry.value())) {
            checkJson(entry.value(), 1);
        }
    }
    if (!named) return false;
    checkNothingFollows(document);
    if (format != RECORDING_FORMAT) invalid("not a trackd recording (format " + format + ")");
    if (versionRead != simdjson::SUCCESS || version < 1 || version > RECORDING_VERSION)
        invalid("format version " +
                (versionRead == simdjson::SUCCESS ? std::to_string(version) : std::string("unknown")) +
                " is not one this " + reader_ + " reads (" + std::to_string(RECORDING_VERSION) + " at most)");
    if (fields.problem.empty() && !sensorNamesProblem(fields.header.sensorNames).empty())
        fields.problem = "\"sensorNames\": " + sensorNamesProblem(fields.header.sensorNames);
    if (!fields.problem.empty()) invalid(fields.problem);
    header_ = std::move(fields.header);
    header_.version = static_cast<int>(version);
    return true;
}

RecordingReader::Entry RecordingReader::nextEntry(Snapshot& frame, RecordingMarker& marker) {
    std::string_view text;
    while (readLine(text)) {
        if (text.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        bool isMarker = false;
        try {
            if (!sawFirstLine_ && isHeader(text)) {
                sawFirstLine_ = true;
                continue;
            }
            sawFirstLine_ = true;
            isMarker = readEntry(text, LONGEST_SECONDS, frame, marker);
        } catch (const std::invalid_argument& e) {
            throw error(e.what());
        }
        const double time = isMarker ? marker.time : frame.time;
        if (sawFrame_ && time < previousTime_) throw error("\"time\" goes backwards");
        sawFrame_ = true;
        previousTime_ = time;
        return isMarker ? Entry::Marker : Entry::Frame;
    }
    return Entry::End;
}

bool RecordingReader::next(Snapshot& into) {
    RecordingMarker marker;
    for (;;) {
        const Entry entry = nextEntry(into, marker);
        if (entry != Entry::Marker) return entry == Entry::Frame;
        ++markersSkipped_;
    }
}

RecordingReader::Mark RecordingReader::mark() const {
    return {consumed_, line_, previousTime_, sawFirstLine_, sawFrame_};
}

void RecordingReader::restore(const Mark& mark) {
    if (lseek(fd_, mark.offset, SEEK_SET) < 0)
        throw RecordingFileError(errno, "cannot go back in the recording " + path_ + ": " + std::strerror(errno));
    buffer_->begin = buffer_->end = 0;
    buffer_->atEnd = false;
    consumed_ = mark.offset;
    line_ = mark.line;
    previousTime_ = mark.previousTime;
    sawFirstLine_ = mark.sawFirstLine;
    sawFrame_ = mark.sawFrame;
}

std::FILE* openRecordingFile(const std::string& path, bool overwrite) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd < 0 && errno == EEXIST && stat(path.c_str(), &info) == 0) {
        if (S_ISREG(info.st_mode) && !overwrite)
            throw std::runtime_error(path + " exists; pass --overwrite to replace it");
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            throw std::runtime_error(path + " is being written by another process (another recording?)");
        }
        if (ftruncate(fd, 0) != 0) {
            close(fd);
            throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        }
    }
    std::FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    return file;
}

}  // namespace trackd_tools
