// trackd-monitor's marker socket and sender, over the system's AF_UNIX datagram sockets.
#include "markers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "options.h"
#include "printable.h"
#include "snapshot.h"

namespace trackd_monitor {

using namespace trackd_tools;

namespace {

constexpr int SEND_PATIENCE_SECONDS = 2;

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("the marker socket's path " + printable(path) + " is not 1 to " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes long");
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

int datagramSocket(int flags = SOCK_NONBLOCK) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) throw std::runtime_error(std::string("cannot make a marker socket: ") + std::strerror(errno));
    return fd;
}

// Whether a recorder still listens on the socket at `address`.
bool listened(const sockaddr_un& address) {
    const int probe = datagramSocket();
    const bool someone = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return someone;
}

}  // namespace

MarkerListener::MarkerListener(const std::string& path, const std::string& folderOf)
    : path_(path), buffer_(LONGEST_MARKER + 1, '\0') {
    const sockaddr_un address = addressOf(path);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid())
            throw std::runtime_error(printable(path) +
                                     " exists and is not a marker socket of this user's; choose "
                                     "another --markers path");
        if (listened(address)) throw std::runtime_error("a recorder already listens for markers on " + printable(path));
        unlink(path.c_str());  // a stale socket, left by a recorder that was killed
    }
    std::filesystem::path folder = std::filesystem::absolute(folderOf).parent_path();
    struct stat folderInfo {};
    const mode_t mode = stat(folder.c_str(), &folderInfo) == 0 ? folderInfo.st_mode & 0777 : 0700;
    fd_ = datagramSocket();
    // The socket is made with no permissions at all, then given the folder's: nobody can send before then.
    const mode_t before = umask(0777);
    const int bound = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    umask(before);
    if (bound != 0 || chmod(path.c_str(), mode) != 0) {
        const int error = bound != 0 ? bindError : errno;
        if (bound == 0) unlink(path.c_str());
        close(fd_);
        throw std::runtime_error("cannot listen for markers on " + printable(path) + ": " + std::strerror(error));
    }
}

MarkerListener::~MarkerListener() {
    close(fd_);
    unlink(path_.c_str());
}

bool MarkerListener::receive(std::string_view& text) {
    for (;;) {
        // MSG_TRUNC: the datagram's whole length, so that one too long is told from one that fits.
        const ssize_t got = recv(fd_, buffer_.data(), buffer_.size(), MSG_TRUNC);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;  // none waiting (or the socket failed: then no marker can come)
        const auto length = static_cast<std::size_t>(got);
        text = std::string_view(buffer_.data(), std::min(length, buffer_.size()));
        if (length <= LONGEST_MARKER && markerProblem(text).empty()) return true;
        ++refused_;
    }
}

int sendMarker(const std::string& path, const std::string& text) {
    const sockaddr_un address = addressOf(path);
    // A recorder's queue may be full for a moment: the send waits for room, though not for ever.
    const int fd = datagramSocket(0);
    const timeval patience{SEND_PATIENCE_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const ssize_t sent =
        sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    close(fd);
    if (sent == static_cast<ssize_t>(text.size())) return 0;
    if (error == EAGAIN)
        std::cerr << "trackd-monitor: the recorder on " << printable(path) << " took no marker for "
                  << SEND_PATIENCE_SECONDS << " s\n";
    else
        std::cerr << "trackd-monitor: nobody listens for markers on " << printable(path) << " (" << std::strerror(error)
                  << ")\n";
    return EXIT_FAILURE_AT_RUN_TIME;
}

}  // namespace trackd_monitor
