// The terminal in raw mode, and given back.
#include "terminal.h"

#include <unistd.h>

#include <stdexcept>

namespace trackd_sim {

RawTerminal::RawTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) throw std::runtime_error("cannot read the terminal's settings");
    termios raw = saved_;
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) throw std::runtime_error("cannot set the terminal's mode");
}

RawTerminal::~RawTerminal() { tcsetattr(STDIN_FILENO, TCSANOW, &saved_); }

}  // namespace trackd_sim
