// trackd-monitor's live view reads q from the terminal.
#pragma once

#include <termios.h>

namespace trackd_monitor {

// The live view reads single keys without echo while it runs, and gives the terminal back as it found it.
class KeyReader {
public:
    explicit KeyReader(bool enabled);
    ~KeyReader();
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    bool quitPressed() const;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace trackd_monitor
