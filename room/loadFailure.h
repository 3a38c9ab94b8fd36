// What a message of zoravovarRoomLoadFile says went wrong, for the faces to raise the fitting exception.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace zoravovar_room {

struct LoadFailure {
    enum Kind { unreadable, mistake, memory } kind = mistake;
    int error = 0;         // for unreadable: the errno whose text the message ends with
    bool opening = false;  // for unreadable: the file could not be opened (rather than read)
};

// The loader writes "PATH: cannot open: REASON" or "PATH: cannot read: REASON" for a file it cannot read,
// PATH with control characters as '?', REASON std::generic_category()'s text of the errno; "out of memory"
// or "PATH: out of memory" when memory ran out; anything else is a mistake in the file.
inline LoadFailure classifyLoadFailure(std::string_view path, std::string_view message) {
    std::string shown(path);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    if (message == "out of memory" || message == shown + ": out of memory") return {LoadFailure::memory};
    for (const bool opening : {true, false}) {
        const std::string prefix = shown + (opening ? ": cannot open: " : ": cannot read: ");
        if (message.substr(0, prefix.size()) != prefix) continue;
        const std::string_view reason = message.substr(prefix.size());
        for (int code = 1; code < 256; ++code)  // errno values are small: a bounded search
            if (std::generic_category().message(code) == reason) return {LoadFailure::unreadable, code, opening};
        return {LoadFailure::unreadable, 0, opening};
    }
    return {LoadFailure::mistake};
}

}  // namespace zoravovar_room
