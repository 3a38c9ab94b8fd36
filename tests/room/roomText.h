// The installation file the room's tests start from (the README's example), and a helper that loads a text.
#pragma once

#include <memory>
#include <string>

#include "zoravovarRoom.h"

namespace testing_room {

// The README's example; line numbers matter to the parser's tests.
inline const std::string EXAMPLE = R"(# The example installation: one front wall.
[tracker]
unit = 1.0                 # metres per tracker unit (0.3048 for feet)
origin = [0.0, 0.0, 0.0]   # where the tracker's origin lies in the room, metres
x_axis = [1.0, 0.0, 0.0]   # the tracker's X, Y and Z axes as room directions
y_axis = [0.0, 1.0, 0.0]
z_axis = [0.0, 0.0, 1.0]

[[sensor]]
index = 0
name = "head"
role = "head"               # head, wand or other
left_eye = [-0.032, 0.0, 0.0]   # each eye in the head sensor's own frame, metres
right_eye = [0.032, 0.0, 0.0]

[[sensor]]
index = 1
name = "wand"
role = "wand"
tip = [0.0, 0.0, -0.1]      # the wand's pointing tip in its own frame, metres

[[screen]]
name = "front"
lower_left = [-1.5, 0.0, -1.5]   # the image's corners in the room, metres, as seen from inside
lower_right = [1.5, 0.0, -1.5]
upper_left = [-1.5, 3.0, -1.5]
)";

struct Free {
    void operator()(ZoravovarRoom* room) const { zoravovarRoomFree(room); }
};
using Room = std::unique_ptr<ZoravovarRoom, Free>;

// Loads `text` as "room.toml"; on failure the room is null and `error` holds the message.
inline Room load(const std::string& text, std::string* error = nullptr) {
    char message[512] = "untouched";
    Room room(zoravovarRoomLoadText(text.data(), text.size(), "room.toml", message, sizeof message));
    if (error != nullptr) *error = message;
    return room;
}

}  // namespace testing_room
