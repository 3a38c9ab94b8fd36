// The terminal in raw mode while trackd-sim's terminal face reads keys.
#pragma once

#include <termios.h>

namespace trackd_sim {

// The terminal in raw mode while the terminal face reads keys, given back as it was found on every exit.
// Ctrl-C and the other signal keys still stop the simulator; Ctrl-Z is off, as a stopped process would
// leave the terminal raw. Output keeps its line endings.
class RawTerminal {
public:
    RawTerminal();
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    termios saved_{};
};

}  // namespace trackd_sim
