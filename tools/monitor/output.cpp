// trackd-monitor's output.
#include "output.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace trackd_monitor {

Output::Output(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}

void Output::write(const std::string& text) {
    if (std::fputs(text.c_str(), file_) < 0 || std::fflush(file_) != 0)
        throw std::runtime_error("cannot write to " + name_ + ": " + std::strerror(errno));
}

}  // namespace trackd_monitor
