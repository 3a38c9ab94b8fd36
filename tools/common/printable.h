// Text from outside (files, command lines, the network) made safe to echo on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace trackd_tools {

// `text` with every control character escaped: C0 controls and DEL as \xNN, C1 controls as \uNNNN, and each
// byte that is not part of well-formed UTF-8 as \xNN. Everything else, and so all printable UTF-8, is kept.
inline std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](const char* format, unsigned value) {
        char code[8];
        std::snprintf(code, sizeof code, format, value);
        out += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7f)
                escape("\\x%02x", lead);
            else
                out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // The length a lead byte announces, and the smallest code point that length may carry.
        const std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                                   : lead >= 0xe0 && lead <= 0xef ? 3
                                   : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                                  : 0;
        std::uint32_t point = length == 2 ? lead & 0x1fu : length == 3 ? lead & 0x0fu : lead & 0x07u;
        bool wellFormed = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; wellFormed && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            wellFormed = (next & 0xc0) == 0x80;
            point = point << 6 | (next & 0x3fu);
        }
        const std::uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (!wellFormed || point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
            escape("\\x%02x", lead);
            ++i;
        } else if (point <= 0x9f) {
            escape("\\u%04x", point);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace trackd_tools
