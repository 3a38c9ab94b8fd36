// Fuzzes the recordings' one reader with files whose every byte comes from the input: it reads each frame
// or refuses a line by name, never crashing, and what it accepts keeps within a recording's limits.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "recording.h"

namespace {

int file = -1;
std::string path;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "recordingFuzz: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    file = memfd_create("recording", 0);
    if (file < 0) die("cannot make the recording's file");
    path = "/proc/self/fd/" + std::to_string(file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size))
        die("cannot write the recording");
    using namespace trackd_tools;
    try {
        RecordingReader reader(path, true, "recordingFuzz");
        Snapshot frame;
        double previous = 0;
        for (int pass = 0; pass < 2; ++pass) {  // the second pass from a mark, as trackd-sim --loop reads
            const RecordingReader::Mark start = reader.mark();
            long long lastLine = 0;
            while (reader.next(frame)) {
                if (reader.line() <= lastLine) die("the line number did not advance");
                lastLine = reader.line();
                if (frame.sensors.size() > MOST_SENSORS || frame.buttons.size() > MOST_CONTROLS ||
                    frame.valuators.size() > MOST_CONTROLS)
                    die("a frame beyond a recording's limits was accepted");
                if (!std::isfinite(frame.time) || frame.time < 0 || frame.time > LONGEST_SECONDS ||
                    frame.time < previous)
                    die("a time the clock cannot hold, or going backwards, was accepted");
                previous = frame.time;
            }
            reader.restore(start);
            previous = 0;
        }
    } catch (const RecordingError& e) {
        if (e.path() != path || e.line() < 1) die(std::string("a refusal that names no line: ") + e.what());
        const std::string prefix = path + ":" + std::to_string(e.line()) + ": ";
        if (std::string(e.what()).rfind(prefix, 0) != 0 || e.reason().empty())
            die(std::string("a refusal not led by its file and line: ") + e.what());
    } catch (const RecordingFileError& e) {
        die(std::string("a regular file refused as a file: ") + e.what());
    }
    return 0;
}
