// The installation file as text: values replaced where toml++ found them, the file replaced atomically.
#include "installationText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "zoravovarRoom.h"

// Only texts the room library has accepted come here.
#include "configuredToml.h"

namespace trackd_calibrate {

namespace {

std::string reason(int code) { return std::generic_category().message(code); }

// The byte offset of a toml++ position (line and column from 1, in characters: the file is ASCII).
std::optional<std::size_t> offsetOf(std::string_view text, const toml::source_position& at) {
    if (at.line == 0 || at.column == 0) return std::nullopt;
    std::size_t offset = 0;
    for (toml::source_index line = 1; line < at.line; ++line) {
        const std::size_t newline = text.find('\n', offset);
        if (newline == std::string_view::npos) return std::nullopt;
        offset = newline + 1;
    }
    offset += at.column - 1;
    return offset <= text.size() ? std::optional<std::size_t>(offset) : std::nullopt;
}

// Reads all of `fd` up to `limit` + 1 bytes.
bool readAll(int fd, std::string& text, std::size_t limit) {
    text.resize(limit + 1);
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    text.resize(have);
    return true;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string numberText(double value) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value + 0.0);  // + 0.0: no "-0"
    if (error != std::errc()) throw std::runtime_error("cannot write the number " + std::to_string(value));
    std::string out(text, end);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

std::string vectorText(const Vec3& v) {
    return "[" + numberText(v[0]) + ", " + numberText(v[1]) + ", " + numberText(v[2]) + "]";
}

std::string tomlString(std::string_view name) {
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::optional<Span> valueSpan(std::string_view text, std::string_view table, std::optional<std::size_t> element,
                              std::string_view key) {
    const toml::parse_result result = toml::parse(text, std::string_view("installation"));
    if (result.failed()) return std::nullopt;
    toml::node_view<const toml::node> at = result.table()[table];
    if (element) at = at[*element];
    const toml::node* value = at[key].node();
    if (value == nullptr) return std::nullopt;
    const auto from = offsetOf(text, value->source().begin);
    const auto to = offsetOf(text, value->source().end);
    if (!from || !to || *to <= *from) return std::nullopt;
    return Span{*from, *to};
}

std::string applyEdits(std::string text, std::vector<Edit> edits) {
    // From the last to the first, so that each span's offsets still hold when it is replaced.
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.span.from > b.span.from; });
    for (const Edit& edit : edits) text.replace(edit.span.from, edit.span.to - edit.span.from, edit.text);
    return text;
}

std::optional<std::string> readInstallation(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) return std::nullopt;
    if (fd < 0) throw std::runtime_error(path + ": cannot open: " + reason(errno));
    const struct Closing {
        int fd;
        ~Closing() { ::close(fd); }
    } closing{fd};
    struct stat status {};
    if (fstat(fd, &status) != 0) throw std::runtime_error(path + ": cannot read: " + reason(errno));
    if (!S_ISREG(status.st_mode)) throw std::runtime_error(path + ": not a regular file");
    std::string text;
    if (!readAll(fd, text, ZORAVOVAR_ROOM_MAX_FILE_SIZE))
        throw std::runtime_error(path + ": cannot read: " + reason(errno));
    if (text.size() > ZORAVOVAR_ROOM_MAX_FILE_SIZE)
        throw std::runtime_error(path + ": larger than " + std::to_string(ZORAVOVAR_ROOM_MAX_FILE_SIZE) + " bytes");
    return text;
}

void writeInstallation(const std::string& path, const std::optional<std::string>& before, const std::string& text) {
    // A link is followed: the file it names is replaced, the link stays.
    std::string target = path;
    if (before) {
        std::unique_ptr<char, void (*)(void*)> real(realpath(path.c_str(), nullptr), std::free);
        if (real == nullptr) throw std::runtime_error(path + ": cannot find the file again: " + reason(errno));
        target = real.get();
    }
    if (readInstallation(target) != before)
        throw std::runtime_error(path + (before ? " changed" : " appeared") +
                                 " while calibrating; nothing was written: calibrate again");
    mode_t mode = 0;
    if (before) {
        struct stat status {};
        if (stat(target.c_str(), &status) != 0) throw std::runtime_error(path + ": " + reason(errno));
        mode = status.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::string temporary = target + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot make a new file beside " + path + ": " + reason(errno));
    bool written = writeAll(fd, text) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        error = errno;
        written = false;
    }
    bool placed = false;
    if (written) {
        // A new file never replaces one that appeared meanwhile.
        placed = before ? rename(temporary.c_str(), target.c_str()) == 0
                        : renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
        error = errno;
    }
    if (!placed) {
        unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path + ": " + reason(error) + "; nothing was written");
    }
}

}  // namespace trackd_calibrate
