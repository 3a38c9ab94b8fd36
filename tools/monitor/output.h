// trackd-monitor's output: standard output or a recording, where a failed write ends the monitor.
#pragma once

#include <cstdio>
#include <string>

namespace trackd_monitor {

// Writes to standard output or a recording; a failed write (a full disk, a closed pipe) throws.
class Output {
public:
    Output(std::FILE* file, std::string name);
    void write(const std::string& text);

private:
    std::FILE* file_;
    std::string name_;
};

}  // namespace trackd_monitor
