// Recordings: every float written by the monitor reads back bit for bit, the sensors' names in the first line
// too; malformed lines are refused.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"
#include "recording.h"

using namespace trackd_tools;

namespace {

std::vector<std::uint32_t> bitsOf(const std::vector<float>& values) {
    std::vector<std::uint32_t> bits;
    bits.reserve(values.size());
    for (float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
    return bits;
}

// Writes `values` as valuators the way the monitor records them and reads them back as the simulator does.
std::vector<float> roundTrip(const std::vector<float>& values) {
    Snapshot snapshot;
    snapshot.time = 12345.678901234;
    snapshot.valuators = values;
    const Snapshot back = snapshotFromLine(toJson(snapshot).dump(), LONGEST_SECONDS);
    EXPECT_EQ(back.time, snapshot.time);
    return back.valuators;
}

TEST(recordingNumbers, hardCasesReadBackBitForBit) {
    const std::vector<std::uint32_t> hard = {
        0x15AE43FD,  // 7.038531e-26: read into a double first, it rounds to the next float up
        0x00000001, 0x00000002, 0x007FFFFF, 0x00400001,  // subnormals, smallest to largest
        0x00800000, 0x7F7FFFFF, 0x80000000, 0x80000001, 0xFF7FFFFF, 0x3F800001,
        0x4B7FFFFF, 0x4B800001, 0x33800001, 0x3DCCCCCD, 0x50000026,
    };
    std::vector<float> values;
    values.reserve(hard.size());
    for (std::uint32_t word : hard) values.push_back(std::bit_cast<float>(word));
    EXPECT_EQ(bitsOf(roundTrip(values)), hard);
}

TEST(recordingNumbers, aLargeRandomSampleReadsBackBitForBit) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::uint32_t> words;
    for (int line = 0; line < 200; ++line) {
        std::vector<float> values;
        while (values.size() < 1000) {
            const float value = std::bit_cast<float>(words(random));
            if (std::isfinite(value)) values.push_back(value);
        }
        ASSERT_EQ(bitsOf(roundTrip(values)), bitsOf(values)) << "line " << line;
    }
}

}  // namespace

namespace {

std::string refusal(const std::string& line) {
    try {
        snapshotFromLine(line, LONGEST_SECONDS);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "accepted";
}

TEST(recordingLines, malformedLinesAreRefusedWithTheirReason) {
    const std::string sensor = R"({"position":[1,2,3],"angles":[4,5,6]})";
    const auto line = [&](const std::string& sensors, const std::string& rest = "") {
        return R"({"time":1.5,"sensors":[)" + sensors + R"(],"buttons":[1],"valuators":[0.5])" + rest + "}";
    };
    EXPECT_EQ(refusal(line(sensor)), "accepted");
    EXPECT_EQ(refusal(line(sensor, R"(,"health":{"state":"live","rate":[1,2.5e3,null,true]})")), "accepted");
    EXPECT_EQ(refusal(line(sensor) + " {}"), "not a JSON line (Unexpected trailing content in the JSON input.)");
    EXPECT_NE(refusal(line(sensor, R"(,"health":{"rate":01})")).find("not a JSON line"), std::string::npos);
    EXPECT_NE(refusal(line(sensor, R"(,"health":[tru])")).find("not a JSON line"), std::string::npos);
    EXPECT_NE(refusal(line(sensor).substr(0, 40)).find("not a JSON line"), std::string::npos);
    EXPECT_EQ(refusal(line(sensor, R"(,"time":2)")), "\"time\" appears twice");
    EXPECT_EQ(refusal(line(R"({"position":[1,2,3,4],"angles":[4,5,6]})")), "a position is not 3 numbers");
    EXPECT_EQ(refusal(line(R"({"position":[1,2,"3"],"angles":[4,5,6]})")), "a position is not a number");
    EXPECT_EQ(refusal(line(R"({"angles":[4,5,6]})")), "a sensor lacks \"position\" or \"angles\"");
    EXPECT_EQ(refusal(R"({"time":1,"sensors":[],"buttons":[1.5],"valuators":[]})"), "a button is not a 32-bit integer");
    EXPECT_EQ(refusal(R"({"time":1,"sensors":[],"buttons":[]})"), "no \"valuators\" field");
    EXPECT_EQ(refusal(R"([1,2])"), "not a JSON object");
    // Fields nobody reads are checked 64 levels deep, the line's own object included, and no deeper.
    const auto nested = [&](int levels) {
        return line(sensor, R"(,"x":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']'));
    };
    const std::string tooDeep = "arrays and objects nest deeper than 64 levels";
    EXPECT_EQ(refusal(nested(DEEPEST_NESTING)), "accepted");
    EXPECT_EQ(refusal(nested(DEEPEST_NESTING + 1)), tooDeep);
    EXPECT_EQ(refusal(nested(200000)), tooDeep);
    EXPECT_EQ(refusal(line(R"({"position":[1,2,3],"angles":[4,5,6],"x":)" + std::string(200000, '[') +
                           std::string(200000, ']') + "}")),
              tooDeep);
    // A frame holds as many sensors, buttons and valuators as trackd-sim's segments take, and no more.
    const auto frame = [&](std::uint32_t sensors, std::uint32_t controls) {
        std::string text = R"({"time":0,"sensors":[)";
        for (std::uint32_t i = 0; i < sensors; ++i) text += (i > 0 ? "," : "") + sensor;
        std::string numbers;
        for (std::uint32_t i = 0; i < controls; ++i) numbers += i > 0 ? ",0" : "0";
        return text + R"(],"buttons":[)" + numbers + R"(],"valuators":[)" + numbers + "]}";
    };
    EXPECT_EQ(refusal(frame(MOST_SENSORS, MOST_CONTROLS)), "accepted");
    EXPECT_EQ(refusal(frame(MOST_SENSORS + 1, 0)),
              "a frame holds more than 1024 sensors, the most a recording may hold");
    EXPECT_EQ(refusal(frame(0, MOST_CONTROLS + 1)),
              "a frame holds more than 4096 buttons, the most a recording may hold");

    const Snapshot read = snapshotFromLine(line(R"({"position":[-0.0,null,1e-46],"angles":[-0,4,5]})"), 10);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read.sensors[0].position[0]), 0x80000000U);
    EXPECT_TRUE(std::isnan(read.sensors[0].position[1]));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read.sensors[0].position[2]), 0U);  // below every float: +0
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read.sensors[0].angles[0]), 0x80000000U);
}

// The sensors' names that a recording of `firstLine` and one frame gives a reader, or its refusal.
std::string namesRead(const std::string& firstLine) {
    const std::string file = ::testing::TempDir() + "trackd-names.jsonl";
    std::ofstream(file) << firstLine << '\n' << R"({"time":1,"sensors":[],"buttons":[],"valuators":[]})" << '\n';
    try {
        RecordingReader reader(file, false, "test");
        Snapshot frame;
        while (reader.next(frame)) {
        }
        return joinedNames(reader.sensorNames());
    } catch (const RecordingError& e) {
        return "line " + std::to_string(e.line()) + ": " + e.reason();
    }
}

TEST(recordingHeader, namesReadBackWithinVersionOneAndBadOnesAreRefused) {
    EXPECT_EQ(namesRead(recordingHeader({"head", "wand", "Kopf \xc3\xa4"}).dump()), "head,wand,Kopf \xc3\xa4");
    EXPECT_EQ(namesRead(recordingHeader().dump()), "");
    // In a frame the field is none of the reader's business: skipped as any unknown field.
    EXPECT_EQ(namesRead(R"({"time":0,"sensors":[],"buttons":[],"valuators":[],"sensorNames":5})"), "");
    const auto header = [](const std::string& names) {
        return R"({"format":"trackd-recording","version":1,"sensorNames":)" + names + "}";
    };
    EXPECT_EQ(namesRead(header(R"(["head",7])")), "line 1: \"sensorNames\" is not an array of strings");
    EXPECT_EQ(namesRead(header(R"("head")")), "line 1: \"sensorNames\" is not an array of strings");
    EXPECT_EQ(namesRead(header(R"(["head","head"])")),
              "line 1: \"sensorNames\": the sensor name 'head' is given twice");
    EXPECT_EQ(namesRead(header(R"(["a,b"])")), "line 1: \"sensorNames\": the sensor name 'a,b' holds a comma");
    EXPECT_EQ(namesRead(header(R"(["\u0007"])")), "line 1: \"sensorNames\": sensor 0's name holds a control character");
    EXPECT_EQ(namesRead(header("[\"" + std::string(33, 'x') + "\"]")),
              "line 1: \"sensorNames\": the sensor name '" + std::string(33, 'x') + "' is longer than 32 characters");
    EXPECT_EQ(sensorNamesProblem({"ok", "\xff"}), "sensor 1's name is not UTF-8");
}

// What a reader makes of `text` (a whole file): its entries as short text, or its refusal.
struct ReadBack {
    RecordingHeader header;
    std::string entries;
    long long skipped = 0;
};

ReadBack readBack(const std::string& text) {
    const std::string file = ::testing::TempDir() + "trackd-entries.jsonl";
    std::ofstream(file) << text;
    ReadBack back;
    try {
        RecordingReader reader(file, false, "test");
        Snapshot frame;
        RecordingMarker marker;
        for (auto entry = reader.nextEntry(frame, marker); entry != RecordingReader::Entry::End;
             entry = reader.nextEntry(frame, marker)) {
            if (entry == RecordingReader::Entry::Marker)
                back.entries += "marker " + marker.text + " at " + std::to_string(marker.time) + ";";
            else
                back.entries += "frame" + std::string(frame.torn ? " torn" : "") +
                                (frame.missed > 0 ? " missed " + std::to_string(frame.missed) : "") + ";";
        }
        back.header = reader.header();
        RecordingReader skipping(file, false, "test");
        while (skipping.next(frame)) {
        }
        back.skipped = skipping.markersSkipped();
    } catch (const RecordingError& e) {
        back.entries = "line " + std::to_string(e.line()) + ": " + e.reason();
    }
    return back;
}

const std::string FRAME = R"({"time":1,"sensors":[],"buttons":[],"valuators":[]})";

TEST(recordingHeader, everyFieldReadsBackAndUnknownOnesAreSkipped) {
    RecordingHeader written;
    written.version = RECORDING_VERSION;
    written.started = "2026-12-09T23:14:56.123456Z";
    written.host = "lab-3";
    written.tool = "trackd-monitor 1.2.3";
    written.trackerKey = 4126;
    written.controllerKey = -559038737;  // 0xdeadbeef as key_t holds it
    written.sensorNames = {"head", "wand"};
    written.installation = RecordingInstallation{"/etc/room.toml", std::string(64, 'a'), "[room]\n"};
    nlohmann::json header = recordingHeader(written);
    header["comingLater"] = {{"nested", {1, 2}}};
    const ReadBack back = readBack(header.dump() + '\n' + FRAME + '\n');
    EXPECT_EQ(back.entries, "frame;");
    EXPECT_EQ(back.header.version, 2);
    EXPECT_EQ(back.header.started, written.started);
    EXPECT_EQ(back.header.host, "lab-3");
    EXPECT_EQ(back.header.tool, written.tool);
    EXPECT_EQ(back.header.trackerKey, 4126);
    EXPECT_EQ(back.header.controllerKey, -559038737);
    EXPECT_EQ(back.header.sensorNames, written.sensorNames);
    ASSERT_TRUE(back.header.installation);
    EXPECT_EQ(back.header.installation->path, "/etc/room.toml");
    EXPECT_EQ(back.header.installation->sha256, std::string(64, 'a'));
    EXPECT_EQ(back.header.installation->content, "[room]\n");

    // Older files: a bare version 1 header and no header at all.
    const ReadBack old = readBack(R"({"format":"trackd-recording","version":1})"
                                  "\n" +
                                  FRAME + '\n');
    EXPECT_EQ(old.header.version, 1);
    EXPECT_TRUE(old.header.started.empty());
    EXPECT_FALSE(old.header.trackerKey);
    EXPECT_FALSE(old.header.installation);
    EXPECT_EQ(readBack(FRAME + '\n').header.version, 0);

    EXPECT_EQ(readBack(R"({"format":"trackd-recording","version":1,"host":5})"
                       "\n")
                  .entries,
              "line 1: \"host\" is not a string");
    EXPECT_EQ(readBack(R"({"format":"trackd-recording","version":1,"trackerKey":4294967296})"
                       "\n")
                  .entries,
              "line 1: \"trackerKey\" is not a System V key (a 32-bit integer)");
    EXPECT_EQ(readBack(R"({"format":"trackd-recording","version":1,"tool":"a","tool":"b"})"
                       "\n")
                  .entries,
              "line 1: \"tool\" appears twice");
    EXPECT_EQ(readBack(R"({"format":"trackd-recording","version":3})"
                       "\n")
                  .entries,
              "line 1: format version 3 is not one this test reads (2 at most)");
}

TEST(recordingEntries, markersAndDistrustedFramesReadBackInOrder) {
    Snapshot torn;
    torn.time = 1;
    torn.torn = true;
    Snapshot missed;
    missed.time = 2;
    missed.missed = 6;
    const std::string text = recordingHeader(RecordingHeader{RECORDING_VERSION, {}, {}, {}, {}, {}, {}, {}}).dump() +
                             '\n' + toJson(torn).dump() + '\n' + markerJson({1.5, "trial 3 starts \xc3\xa4"}).dump() +
                             '\n' + toJson(missed).dump() + '\n' + markerJson({2, ""}).dump() + '\n';
    const ReadBack back = readBack(text);
    EXPECT_EQ(back.entries,
              "frame torn;marker trial 3 starts \xc3\xa4 at 1.500000;frame missed 6;marker  at 2.000000;");
    EXPECT_EQ(back.skipped, 2);
    // A frame written without either holds neither field.
    EXPECT_EQ(toJson(Snapshot{}).dump().find("torn"), std::string::npos);

    const auto refusal = [](const std::string& line) { return readBack(FRAME + '\n' + line + '\n').entries; };
    EXPECT_EQ(refusal(R"({"time":0.5,"marker":"late"})"), "line 2: \"time\" goes backwards");
    EXPECT_EQ(refusal(R"({"time":2,"marker":"a\u0000b"})"), "line 2: the marker holds a NUL byte");
    EXPECT_EQ(refusal(R"({"time":2,"marker":")" + std::string(LONGEST_MARKER + 1, 'x') + "\"}"),
              "line 2: the marker is longer than 1024 bytes");
    EXPECT_EQ(refusal(R"({"time":2,"marker":7})"), "line 2: \"marker\" is not a string");
    EXPECT_EQ(refusal(R"({"marker":"x"})"), "line 2: no \"time\" field");
    EXPECT_EQ(refusal(R"({"time":2,"marker":"x","sensors":[]})"), "line 2: a marker line holds a frame's fields");
    EXPECT_EQ(refusal(R"({"time":2,"sensors":[],"buttons":[],"valuators":[],"missed":-1})"),
              "line 2: \"missed\" is not a count of writes");
    EXPECT_EQ(refusal(R"({"time":2,"sensors":[],"buttons":[],"valuators":[],"torn":1})"),
              "line 2: \"torn\" is not true or false");
    EXPECT_EQ(markerProblem("\xff"), "is not UTF-8");
}

}  // namespace
