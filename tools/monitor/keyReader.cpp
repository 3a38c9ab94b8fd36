// trackd-monitor's key reader.
#include "keyReader.h"

#include <poll.h>
#include <unistd.h>

namespace trackd_monitor {

KeyReader::KeyReader(bool enabled) {
    if (!enabled || isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

KeyReader::~KeyReader() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

bool KeyReader::quitPressed() const {
    if (!active_) return false;
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    char key = 0;
    return poll(&ready, 1, 0) == 1 && read(STDIN_FILENO, &key, 1) == 1 && (key == 'q' || key == 'Q');
}

}  // namespace trackd_monitor
