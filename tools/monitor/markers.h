// trackd-monitor's markers: a Unix datagram socket that an experiment sends marker texts to while recording,
// and the sender behind --mark.
#pragma once

#include <string>
#include <string_view>

namespace trackd_monitor {

// Listens at `path` for markers, each one datagram of text as markerProblem allows; the socket takes the
// permission bits of `folderOf`'s folder (the recording's), so that whoever may write the recording may
// mark it. Refuses a path that exists unless it is a socket of this user that nobody listens on any more
// (a recorder's that was killed): that one is replaced. The socket is removed when the listener ends.
// Throws std::runtime_error saying why it cannot listen.
class MarkerListener {
public:
    MarkerListener(const std::string& path, const std::string& folderOf);
    ~MarkerListener();
    MarkerListener(const MarkerListener&) = delete;
    MarkerListener& operator=(const MarkerListener&) = delete;

    // Hands each waiting marker's text to `take`, in the order they arrived, without waiting; datagrams that
    // are not a marker's are counted and dropped.
    template <typename Take>
    void drain(Take&& take) {
        std::string_view text;
        while (receive(text)) take(text);
    }

    long long refused() const { return refused_; }
    const std::string& path() const { return path_; }

private:
    bool receive(std::string_view& text);

    std::string path_;
    int fd_ = -1;
    long long refused_ = 0;
    std::string buffer_;
};

// Sends `text` as one marker to a recorder listening at `path`; returns the exit status (1 after a
// message when nobody listens there).
int sendMarker(const std::string& path, const std::string& text);

}  // namespace trackd_monitor
