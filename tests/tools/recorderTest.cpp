// trackd-monitor --record against real writers: lines to distrust are marked (torn, missed) and counted in
// the last message; markers from the shell arrive in order, bad ones are counted, and the socket goes at exit.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <iterator>
#include <map>

#include "toolsHarness.h"

namespace {

std::vector<json> recordedLines(const std::string& file) {
    std::vector<json> lines;
    std::ifstream in(file);
    for (std::string text; std::getline(in, text);)
        if (!text.empty()) lines.push_back(json::parse(text));
    return lines;
}

// Waits, up to a generous limit, until the recording holds `count` lines.
bool recordedAtLeast(const std::string& file, std::size_t count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(file);
        std::size_t lines = 0;
        for (std::string text; std::getline(in, text);) ++lines;
        if (lines >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The recorder's last message: "... N lines ...: T torn (...), M after gaps that may have hidden W writes".
struct Counts {
    long long lines = -1, torn = -1, missedLines = -1, missedWrites = -1;
};
Counts countsSaid(const std::string& out) {
    // Each count is the number just before its words (std::regex trips GCC 12's uninitialised-use warning
    // under the sanitizers).
    const auto numberBefore = [&out](const std::string& words, std::size_t from) -> std::pair<long long, std::size_t> {
        const std::size_t at = out.find(words, from);
        if (at == std::string::npos || at == 0) return {-1, std::string::npos};
        std::size_t start = at;
        while (start > 0 && std::isdigit(static_cast<unsigned char>(out[start - 1])) != 0) --start;
        if (start == at) return {-1, std::string::npos};
        return {std::stoll(out.substr(start, at - start)), at + words.size()};
    };
    Counts said;
    const std::size_t recorded = out.find("recorded ");
    if (recorded == std::string::npos) return said;
    const auto [lines, afterLines] = numberBefore(" lines to ", recorded);
    if (afterLines == std::string::npos) return said;
    const auto [torn, afterTorn] = numberBefore(" torn (", afterLines);
    if (afterTorn == std::string::npos) return said;
    const auto [missedLines, afterMissed] = numberBefore(" after gaps that may have hidden ", afterTorn);
    if (afterMissed == std::string::npos) return said;
    const auto [missedWrites, afterWrites] = numberBefore(" writes", afterMissed);
    if (afterWrites == std::string::npos) return said;
    return {lines, torn, missedLines, missedWrites};
}

TEST(recorderDistrust, aStoppedRecorderSaysHowManyWritesItMayHaveMissed) {
    const std::string file = ::testing::TempDir() + "trackd-recorder-missed.jsonl";
    const Keys keys;
    RunningSim sim(keys, {"--rate", "120"});
    Process recorder(command(MONITOR, keys, {"--record", file, "--overwrite"}));
    ASSERT_NE(recorder.firstLine().find("recording every change"), std::string::npos) << recorder.err;
    ASSERT_TRUE(recordedAtLeast(file, 60));
    recorder.signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the stall itself, not a wait for anything
    recorder.signal(SIGCONT);
    const std::size_t stoppedNear = recordedLines(file).size();
    ASSERT_TRUE(recordedAtLeast(file, stoppedNear + 60));
    recorder.signal(SIGINT);
    ASSERT_EQ(recorder.wait(), 0) << recorder.err;

    std::vector<json> lines = recordedLines(file);
    ASSERT_GE(lines.size(), 120U);
    const json header = lines.front();
    lines.erase(lines.begin());
    EXPECT_EQ(header["version"], 1);
    EXPECT_EQ(header["tool"], "trackd-monitor " ZORAVOVAR_VERSION_TEXT);
    EXPECT_EQ(header["trackerKey"], keys.tracker);
    EXPECT_EQ(header["controllerKey"], keys.controller);
    EXPECT_EQ(header["started"].get<std::string>().size(), std::string("2026-12-09T23:14:56.123456Z").size());
    EXPECT_EQ(header["started"].get<std::string>().back(), 'Z');
    EXPECT_FALSE(header["host"].get<std::string>().empty());

    std::vector<double> gaps;
    for (std::size_t i = 1; i < lines.size(); ++i)
        gaps.push_back(lines[i]["time"].get<double>() - lines[i - 1]["time"].get<double>());
    std::vector<double> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    const double period = sorted[sorted.size() / 2];
    // The stop: one line follows a gap of at least 50 ms, and says about 6 writes of 120 Hz went unseen
    // (more when the machine held the recorder up longer).
    long long torn = 0, missedLines = 0, missedWrites = 0, biggest = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        torn += lines[i].value("torn", false) ? 1 : 0;
        const long long missed = lines[i].value("missed", 0LL);
        missedLines += missed > 0 ? 1 : 0;
        missedWrites += missed;
        biggest = std::max(biggest, missed);
        // Only a line after a gap longer than the writer's period says so.
        if (missed > 0 && i > 0) {
            EXPECT_GT(gaps[i - 1], 1.2 * period) << "line " << i;
        }
    }
    EXPECT_GE(biggest, 3);
    // trackd-sim writes a frame within microseconds: the recorder's reads always settle on it.
    EXPECT_EQ(torn, 0);
    const Counts said = countsSaid(recorder.out);
    EXPECT_EQ(said.lines, static_cast<long long>(lines.size())) << recorder.out;
    EXPECT_EQ(said.torn, torn);
    EXPECT_EQ(said.missedLines, missedLines);
    EXPECT_EQ(said.missedWrites, missedWrites);
}

TEST(recorderHeader, keepsTheInstallationFileItsDigestAndText) {
    const std::string room = ::testing::TempDir() + "trackd-recorder-room.toml";
    const std::string text =
        "[tracker]\nunit = 1.0\norigin = [0.0, 0.0, 0.0]\nx_axis = [1.0, 0.0, 0.0]\n"
        "y_axis = [0.0, 1.0, 0.0]\nz_axis = [0.0, 0.0, 1.0]\n\n[[sensor]]\nindex = 0\n"
        "name = \"head\"\nrole = \"head\"\nleft_eye = [-0.03, 0.0, 0.0]\nright_eye = [0.03, 0.0, 0.0]\n";
    std::ofstream(room) << text;
    Process digest({"/usr/bin/sha256sum", room});
    ASSERT_EQ(digest.wait(), 0);
    const Keys keys;
    RunningSim sim(keys, {"--rate", "60"});
    const std::string file = ::testing::TempDir() + "trackd-recorder-room.jsonl";
    Process recorder(
        command(MONITOR, keys, {"--record", file, "--overwrite", "--installation", room, "--duration", "0.3"}));
    ASSERT_EQ(recorder.wait(), 0) << recorder.err;
    const json header = recordedLines(file).front();
    EXPECT_EQ(header["installation"]["path"], room);
    EXPECT_EQ(header["installation"]["sha256"], digest.out.substr(0, 64));
    EXPECT_EQ(header["installation"]["content"], text);
    std::ofstream(room) << "[tracker\n";
    Process broken(
        command(MONITOR, keys, {"--record", file, "--overwrite", "--installation", room, "--duration", "0.3"}));
    EXPECT_EQ(broken.wait(), 2);  // a wrong file given is bad usage, as in every tool
    EXPECT_EQ(broken.err.rfind("trackd-monitor: " + room + ":1", 0), 0U) << broken.err;
}

// A writer stuck halfway through some updates: it keeps rewriting sensor 0 for 20 ms before it writes
// sensor 1, so that the recorder's reads keep changing.
TEST(recorderDistrust, readsThatNeverSettleAreTornAndNoOthers) {
    using namespace trackd_layout;
    Segment tracker(TRACKER_SEGMENT_SIZE + 2 * 52);
    Segment controller(CONTROLLER_SEGMENT_SIZE);
    putTrackerHeader(tracker, 2, 36, 52);
    putControllerHeader(controller, 40, 80, 1, 1);
    Keys keys;
    keys.tracker = tracker.key();
    keys.controller = controller.key();
    const std::string file = ::testing::TempDir() + "trackd-recorder-torn.jsonl";
    Process recorder(command(MONITOR, keys, {"--record", file, "--overwrite"}));
    ASSERT_NE(recorder.firstLine().find("recording every change"), std::string::npos) << recorder.err;
    // On a loaded machine the writer may not run beside the recorder through a stall: it stalls again,
    // every sixth update, until a torn line is recorded (or a generous limit passes).
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const auto tornRecorded = [&] {
        std::ifstream in(file);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("\"torn\":true") != std::string::npos;
    };
    for (int k = 1; k <= 60 || (!tornRecorded() && std::chrono::steady_clock::now() < limit); ++k) {
        if (k % 6 == 0) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            for (int j = 0; std::chrono::steady_clock::now() < until; ++j)
                putSensor(tracker, 36, {10000.0F + static_cast<float>(j), 0, 0, 0, 0, 0});
        }
        putSensor(tracker, 36, {static_cast<float>(k), 0, 0, 0, 0, 0});
        putSensor(tracker, 36 + 52, {static_cast<float>(k), 0, 0, 0, 0, 0});
        std::this_thread::sleep_for(std::chrono::milliseconds(8));  // the writer's pace
    }
    recorder.signal(SIGTERM);
    ASSERT_EQ(recorder.wait(), 0) << recorder.err;
    std::vector<json> lines = recordedLines(file);
    lines.erase(lines.begin());
    long long torn = 0;
    bool afterStall = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const float first = lines[i]["sensors"][0]["position"][0].get<float>();
        const bool stalling = first >= 10000.0F;
        if (lines[i].value("torn", false)) {
            ++torn;
            // Torn: read while sensor 0 was still being rewritten, or as the stall ended.
            EXPECT_TRUE(stalling || afterStall) << "line " << i << ": " << lines[i].dump();
        }
        afterStall = stalling;
    }
    EXPECT_GE(torn, 1);
    EXPECT_EQ(countsSaid(recorder.out).torn, torn) << recorder.out;
}

// Sends `text` as one datagram to `path`, as any program may.
void sendDatagram(const std::string& path, const std::string& text) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(text.size()));
    close(fd);
}

TEST(recorderMarkers, fromThreeProcessesInOrderEachOnceBetweenTheirFrames) {
    const std::string file = ::testing::TempDir() + "trackd-recorder-markers.jsonl";
    const std::string socketPath = ::testing::TempDir() + "trackd-markers.sock";
    const Keys keys;
    RunningSim sim(keys, {"--rate", "120"});
    Process recorder(command(MONITOR, keys, {"--record", file, "--overwrite", "--markers", socketPath}));
    ASSERT_NE(recorder.firstLine().find("recording every change"), std::string::npos) << recorder.err;
    // The socket has the recording folder's permission bits.
    struct stat folder {
    }, socketInfo{};
    ASSERT_EQ(stat(::testing::TempDir().c_str(), &folder), 0);
    ASSERT_EQ(lstat(socketPath.c_str(), &socketInfo), 0);
    EXPECT_TRUE(S_ISSOCK(socketInfo.st_mode));
    EXPECT_EQ(socketInfo.st_mode & 0777, folder.st_mode & 0777);
    // A second recorder on the same path is refused while the first listens.
    Process second(command(MONITOR, keys, {"--record", file + ".2", "--overwrite", "--markers", socketPath}));
    EXPECT_EQ(second.wait(), 1);
    EXPECT_EQ(second.err, "trackd-monitor: a recorder already listens for markers on " + socketPath + "\n");

    constexpr int EACH = 20;
    std::vector<std::unique_ptr<Process>> senders;
    for (int p = 0; p < 3; ++p) {
        std::string script = "for i in $(seq 0 " + std::to_string(EACH - 1) + "); do \"$0\" --mark \"$1\" p" +
                             std::to_string(p) + "-$i || exit 1; done";
        std::vector<std::string> argv = {"/bin/sh", "-c", script, MONITOR, socketPath};
        senders.push_back(std::make_unique<Process>(argv));
    }
    for (auto& sender : senders) EXPECT_EQ(sender->wait(), 0) << sender->err;
    sendDatagram(socketPath, "bad \xff");
    sendDatagram(socketPath, std::string("nul\0byte", 8));
    sendDatagram(socketPath, std::string(1025, 'x'));
    // The markers sent are all in once the recording shows the last of them.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::size_t markers = 0;
    while (markers < std::size_t{3} * EACH && std::chrono::steady_clock::now() < end) {
        markers = 0;
        for (const json& line : recordedLines(file)) markers += line.contains("marker") ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(recordedAtLeast(file, std::size_t{3} * EACH + 20));
    recorder.signal(SIGINT);
    ASSERT_EQ(recorder.wait(), 0) << recorder.err;
    EXPECT_NE(recorder.out.find(", 60 markers (3 datagrams refused"), std::string::npos) << recorder.out;
    struct stat gone {};
    EXPECT_NE(lstat(socketPath.c_str(), &gone), 0);

    std::vector<json> lines = recordedLines(file);
    EXPECT_EQ(lines.front()["version"], 2);
    lines.erase(lines.begin());
    std::map<int, int> nextOf;  // each sender's next marker
    double previousTime = 0;
    bool frameBefore = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const double time = lines[i]["time"].get<double>();
        EXPECT_GE(time, previousTime) << "line " << i;
        previousTime = time;
        if (!lines[i].contains("marker")) {
            frameBefore = true;
            continue;
        }
        EXPECT_TRUE(frameBefore);
        const std::string text = lines[i]["marker"].get<std::string>();
        ASSERT_TRUE(text.size() >= 4 && text[0] == 'p' && text[1] >= '0' && text[1] <= '2' && text[2] == '-' &&
                    text.find_first_not_of("0123456789", 3) == std::string::npos)
            << text;
        const int sender = text[1] - '0', number = std::stoi(text.substr(3));
        EXPECT_EQ(number, nextOf[sender]) << text;
        nextOf[sender] = number + 1;
    }
    for (int p = 0; p < 3; ++p) EXPECT_EQ(nextOf[p], EACH);
}

TEST(recorderMarkers, theSocketIsGoneAfterEveryStopAndOnlyAStaleOneIsReplaced) {
    const Keys keys;
    RunningSim sim(keys, {"--rate", "60"});
    const std::string file = ::testing::TempDir() + "trackd-recorder-signals.jsonl";
    const std::string socketPath = ::testing::TempDir() + "trackd-markers-signals.sock";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Process recorder(command(MONITOR, keys, {"--record", file, "--overwrite", "--markers", socketPath}));
        ASSERT_NE(recorder.firstLine().find("recording every change"), std::string::npos) << recorder.err;
        struct stat there {};
        EXPECT_EQ(lstat(socketPath.c_str(), &there), 0);
        recorder.signal(signal);
        EXPECT_EQ(recorder.wait(), 0) << recorder.err;
        EXPECT_NE(lstat(socketPath.c_str(), &there), 0) << "after signal " << signal;
    }
    // Nobody listens: --mark fails with a message.
    Process unheard(invocation(MONITOR, {"--mark", socketPath, "hello"}));
    EXPECT_EQ(unheard.wait(), 1);
    EXPECT_EQ(unheard.err.rfind("trackd-monitor: nobody listens for markers on " + socketPath, 0), 0U) << unheard.err;
    // A socket left by a recorder that was killed is replaced; a file in the way is not.
    {
        Process killed(command(MONITOR, keys, {"--record", file, "--overwrite", "--markers", socketPath}));
        ASSERT_NE(killed.firstLine().find("recording every change"), std::string::npos) << killed.err;
        killed.signal(SIGKILL);
        killed.wait();
    }
    Process again(
        command(MONITOR, keys, {"--record", file, "--overwrite", "--markers", socketPath, "--duration", "0.5"}));
    EXPECT_EQ(again.wait(), 0) << again.err;
    std::ofstream(socketPath) << "not a socket\n";
    Process refused(command(MONITOR, keys, {"--record", file, "--overwrite", "--markers", socketPath}));
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(refused.err.find("exists and is not a marker socket"), std::string::npos) << refused.err;
    std::remove(socketPath.c_str());
}

}  // namespace
