// The installation file as text: read whole within the room library's bound, edited value by value where
// toml++ found each value (so that comments, layout and every other entry stay byte for byte), numbers
// written so that they read back exactly, and the result written in the file's place atomically.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trackd_calibrate {

using Vec3 = std::array<double, 3>;

// The shortest text that reads back as `value` exactly, always as a TOML float ("1.0", "-0.25", "1e-07").
std::string numberText(double value);
// "[x, y, z]" in numberText's form.
std::string vectorText(const Vec3& v);
// A name as a TOML basic string, its quotes and backslashes escaped (names are printable ASCII).
std::string tomlString(std::string_view name);

// Where a value lies in the text, as byte offsets [from, to).
struct Span {
    std::size_t from = 0;
    std::size_t to = 0;
};

// The span of `key`'s value in table `table` (element `element` of the array of tables `table` when given),
// in a text the room library has accepted; nothing when there is no such value.
std::optional<Span> valueSpan(std::string_view text, std::string_view table, std::optional<std::size_t> element,
                              std::string_view key);

struct Edit {
    Span span;
    std::string text;
};

// `text` with each span replaced; the spans must not overlap.
std::string applyEdits(std::string text, std::vector<Edit> edits);

// The file at `path` as it stands: its text, or nothing when it does not exist. Throws std::runtime_error for
// a file that is not a regular file, cannot be read or is larger than the room library reads.
std::optional<std::string> readInstallation(const std::string& path);

// Writes `text` in the place of the file at `path`, which held `before` (nothing: did not exist) when the
// calibration started: a new file in the same folder, with the old file's permissions (a new one's as the
// umask gives), renamed over it. Throws std::runtime_error, writing nothing, when the file changed meanwhile
// or cannot be replaced.
void writeInstallation(const std::string& path, const std::optional<std::string>& before, const std::string& text);

}  // namespace trackd_calibrate
