// The one reader of trackd-monitor's recordings, shared by trackd-sim's replay and the Python module.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot.h"

namespace trackd_tools {

// The most sensors, buttons and valuators a frame may hold: what trackd-sim's segments take, and so what
// every reader of recordings accepts.
constexpr std::uint32_t MOST_SENSORS = 1024;
constexpr std::uint32_t MOST_CONTROLS = 4096;

// How deeply arrays and objects may nest in a line: a frame nests 4 deep, and a value nobody reads is checked
// no deeper than this (its check recurses once a level).
constexpr int DEEPEST_NESTING = 64;

// What a recording's file holds is wrong; names the file and the line, as "PATH:LINE: REASON".
class RecordingError : public std::runtime_error {
public:
    RecordingError(const std::string& path, long long line, const std::string& reason)
        : std::runtime_error(path + ":" + std::to_string(line) + ": " + reason),
          path_(path),
          line_(line),
          reason_(reason) {}
    const std::string& path() const { return path_; }
    long long line() const { return line_; }
    const std::string& reason() const { return reason_; }

private:
    std::string path_;
    long long line_;
    std::string reason_;
};

// The file itself cannot be read as a recording; `error` is the errno that says why, or 0 when there is
// none (a device).
class RecordingFileError : public std::runtime_error {
public:
    RecordingFileError(int error, const std::string& message) : std::runtime_error(message), error_(error) {}
    int error() const { return error_; }

private:
    int error_;
};

// Reads one frame line that trackd-monitor wrote (toJson's form) into `into`, reusing its storage. Unknown
// fields are checked as JSON (DEEPEST_NESTING levels at most) and skipped; a frame holding more than
// MOST_SENSORS sensors or MOST_CONTROLS buttons or valuators is refused as soon as it does. Throws
// std::invalid_argument naming the first thing that is wrong (a marker line among them). `maxTime` bounds the
// time, which must be a number of seconds the clock can hold.
void readSnapshot(std::string_view text, double maxTime, Snapshot& into);

// Reads one line, a frame into `frame` or a marker (markerJson's form, its text as markerProblem allows)
// into `marker`; true for a marker. Throws as readSnapshot does.
bool readEntry(std::string_view text, double maxTime, Snapshot& frame, RecordingMarker& marker);

inline Snapshot snapshotFromLine(std::string_view text, double maxTime) {
    Snapshot snapshot;
    readSnapshot(text, maxTime, snapshot);
    return snapshot;
}

// A recording read a line at a time: never more than one line (at most 1 MiB) and one read buffer in
// memory, whatever the file holds, so recordings of any length and pipes can be read. Reads format
// versions 1 and 2 and the headerless files from before the header existed; refuses other formats and
// versions. Frames and markers must not go back in time. Blank lines are skipped, and so are the header's
// fields this reader does not know.
class RecordingReader {
public:
    // Opens `path`; `rewindable` asks for a file that can go back to a mark, which a pipe cannot. `reader`
    // names the program in the message that refuses a newer version. Throws RecordingFileError.
    RecordingReader(const std::string& path, bool rewindable, const std::string& reader);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // Reads the next frame into `into`, counting the markers before it in markersSkipped(); false at the end
    // of the file. Throws RecordingError.
    bool next(Snapshot& into);

    // Reads the next frame into `frame` or the next marker into `marker`, and says which, or End.
    enum class Entry { End, Frame, Marker };
    Entry nextEntry(Snapshot& frame, RecordingMarker& marker);

    // The markers next() passed over.
    long long markersSkipped() const { return markersSkipped_; }

    // What the header says, once the first entry is read (or the end): its version 0 and every field empty
    // for a file without a header. The sensors' names follow sensorNamesProblem's rules.
    const RecordingHeader& header() const { return header_; }
    const std::vector<std::string>& sensorNames() const { return header_.sensorNames; }

    // The line of the entry read last, counted from 1.
    long long line() const { return line_; }
    const std::string& path() const { return path_; }
    // A RecordingError for the frame read last, for checks that the reader's users make.
    RecordingError error(const std::string& reason) const { return RecordingError(path_, line_, reason); }

    // Where the reader stands, to come back to in a rewindable recording.
    struct Mark {
        std::int64_t offset = 0;
        long long line = 0;
        double previousTime = 0;
        bool sawFirstLine = false;
        bool sawFrame = false;
    };
    Mark mark() const;
    void restore(const Mark& mark);

private:
    bool readLine(std::string_view& text);
    bool isHeader(std::string_view text);

    std::string path_;
    std::string reader_;
    int fd_ = -1;
    struct Buffer;
    std::unique_ptr<Buffer> buffer_;
    std::int64_t consumed_ = 0;  // file offset of the first byte not yet returned as a line
    long long line_ = 0;
    bool sawFirstLine_ = false;
    bool sawFrame_ = false;
    double previousTime_ = 0;
    long long markersSkipped_ = 0;
    RecordingHeader header_;
};

// Opens `path` to write a recording into (recordingHeader's line, then toJson's lines): refuses to replace
// a file unless `overwrite`, and holds an exclusive lock on it so that two recorders never write into one
// file. A device or a pipe is written as it is. Throws std::runtime_error saying why it cannot.
std::FILE* openRecordingFile(const std::string& path, bool overwrite);

}  // namespace trackd_tools
