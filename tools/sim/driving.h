// trackd-sim driven by hand: the state that keys and commands change, the keys a terminal sends, and the
// JSON-lines commands a program (trackd-viewer --drive) sends.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "printable.h"
#include "snapshot.h"

namespace trackd_tools {

// How far one key moves, turns or pushes; positions are in the installation's units, angles in degrees.
struct DriveSteps {
    float move = 0.05F;
    float turn = 5.0F;
    float valuator = 0.1F;
};

// Where the sensors start: sensor 0 is the head, 1 the wand, the others in a row to the wand's right.
constexpr std::array<float, 3> DEFAULT_HEAD = {0.0F, 1.7F, 0.0F};
constexpr std::array<float, 3> DEFAULT_WAND = {0.0F, 1.3F, -0.3F};  // 0.4 below the eyes, 0.3 ahead (-Z)
constexpr float SENSOR_SPACING = 0.25F;

// Where each sensor starts: the head's and the wand's sensors at theirs, the others in a row from the wand,
// `spacing` apart, the first of them one `spacing` from it; every sensor turned by `angles`.
struct StartPlaces {
    std::array<float, 3> head = DEFAULT_HEAD, wand = DEFAULT_WAND;
    std::uint32_t headSensor = 0, wandSensor = 1;
    std::array<float, 3> spacing = {SENSOR_SPACING, 0, 0};
    std::array<float, 3> angles{};
};

inline std::vector<SensorState> startPoses(std::uint32_t sensors, const StartPlaces& places) {
    std::vector<SensorState> poses(sensors);
    float others = 0;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const bool head = i == places.headSensor, wand = !head && i == places.wandSensor;
        poses[i].position = head ? places.head : places.wand;
        poses[i].angles = places.angles;
        if (head || wand) continue;
        others += 1;
        for (std::size_t c = 0; c < 3; ++c) poses[i].position[c] += others * places.spacing[c];
    }
    return poses;
}

inline std::vector<SensorState> startPoses(std::uint32_t sensors, const std::array<float, 3>& head,
                                           const std::array<float, 3>& wand) {
    StartPlaces places;
    places.head = head;
    places.wand = wand;
    return startPoses(sensors, places);
}

// One key as the terminal face reads it: a character, or one of the keys sent as escape sequences.
struct Key {
    enum Kind { character, up, down, left, right, pageUp, pageDown, backTab };
    Kind kind = character;
    char value = 0;
    bool operator==(const Key&) const = default;
};

// Splits a terminal's bytes into keys: characters, and the escape sequences of the keys the driver uses in
// both the CSI (ESC [) and SS3 (ESC O) forms. Other sequences and Alt-combinations are dropped whole;
// a sequence may arrive in pieces.
class KeyDecoder {
public:
    static constexpr std::size_t LONGEST_SEQUENCE = 32;  // longer ones are not keys: dropped

    void feed(std::string_view bytes, std::vector<Key>& keys) {
        for (const char byte : bytes) feed(byte, keys);
    }

    // An escape sequence is incomplete: a lone Escape, or one cut off, which drop() discards.
    bool pending() const { return !pending_.empty(); }
    void drop() { pending_.clear(); }

private:
    void feed(char byte, std::vector<Key>& keys) {
        constexpr char ESC = '\x1b';
        if (pending_.empty()) {
            if (byte == ESC)
                pending_ = byte;
            else
                keys.push_back({Key::character, byte});
            return;
        }
        pending_ += byte;
        const auto b = static_cast<unsigned char>(byte);
        if (pending_.size() == 2) {
            if (byte == '[' || byte == 'O') return;
            pending_.clear();
            if (byte == ESC) pending_ = byte;  // Escape pressed twice: the second may start a sequence
            return;                            // Alt with a key: not one the driver uses
        }
        if (pending_[1] == 'O') {  // SS3: one final byte
            addArrow(byte, keys);
            pending_.clear();
            return;
        }
        if (b >= 0x40 && b <= 0x7e) {  // the final byte of a CSI sequence
            const std::string_view parameters = std::string_view(pending_).substr(2, pending_.size() - 3);
            if (byte == '~') {
                const std::string_view first = parameters.substr(0, parameters.find(';'));
                if (first == "5") keys.push_back({Key::pageUp, 0});
                if (first == "6") keys.push_back({Key::pageDown, 0});
            } else if (byte == 'Z') {
                keys.push_back({Key::backTab, 0});
            } else {
                addArrow(byte, keys);  // with or without modifiers, such as ESC [ 1 ; 2 A
            }
            pending_.clear();
        } else if (b < 0x20 || b > 0x3f || pending_.size() > LONGEST_SEQUENCE) {
            pending_.clear();  // not a sequence after all
            if (byte == ESC) pending_ = byte;
        }
    }

    static void addArrow(char final, std::vector<Key>& keys) {
        switch (final) {
            case 'A':
                keys.push_back({Key::up, 0});
                break;
            case 'B':
                keys.push_back({Key::down, 0});
                break;
            case 'C':
                keys.push_back({Key::right, 0});
                break;
            case 'D':
                keys.push_back({Key::left, 0});
                break;
            default:
                break;
        }
    }

    std::string pending_;
};

// Angles stay within -180 (excluded) to 180 degrees.
inline float wrapDegrees(float angle) {
    if (angle > 180.0F) return angle - 360.0F;
    if (angle <= -180.0F) return angle + 360.0F;
    return angle;
}

// The longest command line, its line ending (LF or CRLF) excluded. It also bounds how deeply a command can
// nest: the JSON library parses and destroys values without recursion, but copies them recursively.
constexpr std::size_t LONGEST_COMMAND = 4096;

// Valuators driven by steps stay within -1 to 1, a joystick's range.
inline float clampValuator(float value) { return std::fmax(-1.0F, std::fmin(1.0F, value)); }

// The buttons 1 to 7 toggled by the bottom row of letters; button 0 is the space bar.
constexpr std::string_view BUTTON_KEYS = "zxcvbnm";

// The values the driving faces decide. Every change is a float sum as written here, so a reader can
// compute the expected values bit for bit.
class Driver {
public:
    Driver(std::vector<SensorState> start, std::uint32_t buttons, std::uint32_t valuators, DriveSteps steps)
        : start_(std::move(start)), steps_(steps) {
        state_.sensors = start_;
        state_.buttons.assign(buttons, 0);
        state_.valuators.assign(valuators, 0.0F);
    }

    const Snapshot& state() const { return state_; }
    std::uint32_t selected() const { return selected_; }
    std::uint32_t selectedValuator() const { return valuator_; }
    const DriveSteps& steps() const { return steps_; }

    enum class Result { unchanged, changed, quit };

    // Applies one key of the terminal face (the key map on the screen and in --help).
    Result key(const Key& key) {
        SensorState& s = state_.sensors[selected_];
        const float m = steps_.move;
        switch (key.kind) {
            case Key::left:
                s.position[0] = s.position[0] - m;
                return Result::changed;
            case Key::right:
                s.position[0] = s.position[0] + m;
                return Result::changed;
            case Key::up:
                s.position[2] = s.position[2] - m;
                return Result::changed;  // away from the viewer
            case Key::down:
                s.position[2] = s.position[2] + m;
                return Result::changed;
            case Key::pageUp:
                s.position[1] = s.position[1] + m;
                return Result::changed;
            case Key::pageDown:
                s.position[1] = s.position[1] - m;
                return Result::changed;
            case Key::backTab:
                return select((selected_ + sensorCount() - 1) % sensorCount());
            case Key::character:
                break;
        }
        const char c = key.value;
        const std::size_t button = BUTTON_KEYS.find(c);
        if (c == ' ' || button != std::string_view::npos) {
            const std::size_t b = c == ' ' ? 0 : button + 1;
            if (b >= state_.buttons.size()) return Result::unchanged;
            state_.buttons[b] = state_.buttons[b] != 0 ? 0 : 1;
            return Result::changed;
        }
        if (c >= '0' && c <= '9') return select(static_cast<std::uint32_t>(c - '0'));
        const float t = steps_.turn;
        switch (c) {
            case '\t':
                return select((selected_ + 1) % sensorCount());
            case 'i':
                return turn(s, 0, t);
            case 'k':
                return turn(s, 0, -t);
            case 'j':
                return turn(s, 1, t);
            case 'l':
                return turn(s, 1, -t);
            case 'u':
                return turn(s, 2, t);
            case 'o':
                return turn(s, 2, -t);
            case 'r':
                s = start_[selected_];
                return Result::changed;
            case '/':
                if (state_.valuators.empty()) return Result::unchanged;
                valuator_ = (valuator_ + 1) % static_cast<std::uint32_t>(state_.valuators.size());
                return Result::changed;
            case '-':
                return pushValuator(-steps_.valuator);
            case '+':
            case '=':
                return pushValuator(steps_.valuator);
            case 'q':
            case 'Q':
                return Result::quit;
            default:
                return Result::unchanged;
        }
    }

    // Applies one command line (the protocol in --help), its line ending removed; throws
    // std::invalid_argument, changing nothing, when the line is wrong. Its messages quote the line's text
    // made printable.
    void command(std::string_view line) {
        if (line.size() > LONGEST_COMMAND)
            throw std::invalid_argument("longer than " + std::to_string(LONGEST_COMMAND) + " bytes");
        // The JSON library would take a NUL byte for the end of the text and apply what came before it.
        if (line.find('\0') != std::string_view::npos) throw std::invalid_argument("holds a NUL byte");
        nlohmann::json c;
        try {
            c = nlohmann::json::parse(line);
        } catch (const nlohmann::json::parse_error&) {
            throw std::invalid_argument("not a JSON object");
        }
        if (!c.is_object()) throw std::invalid_argument("not a JSON object");
        for (const auto& [name, value] : c.items())
            if (name != "sensor" && name != "position" && name != "angles" && name != "move" && name != "turn" &&
                name != "button" && name != "valuator" && name != "value" && name != "steps" && name != "reset")
                throw std::invalid_argument("unknown field \"" + printable(name) + "\"");
        const int kinds = static_cast<int>(c.contains("sensor")) + static_cast<int>(c.contains("button")) +
                          static_cast<int>(c.contains("valuator")) + static_cast<int>(c.contains("reset"));
        if (kinds != 1)
            throw std::invalid_argument(
                "a command names exactly one of \"sensor\", \"button\", \"valuator\", \"reset\"");
        const auto allowOnly = [&c](std::initializer_list<const char*> fields, const char* kind) {
            for (const auto& [name, value] : c.items()) {
                bool allowed = false;
                for (const char* f : fields) allowed = allowed || name == f;
                if (!allowed)
                    throw std::invalid_argument("\"" + printable(name) + "\" does not go with \"" + kind + "\"");
            }
        };
        if (c.contains("reset")) {
            allowOnly({"reset"}, "reset");
            const std::uint32_t i = index(c["reset"], "reset", sensorCount(), "sensors");
            state_.sensors[i] = start_[i];
        } else if (c.contains("sensor")) {
            allowOnly({"sensor", "position", "angles", "move", "turn"}, "sensor");
            const std::uint32_t i = index(c["sensor"], "sensor", sensorCount(), "sensors");
            SensorState s = state_.sensors[i];
            if (c.contains("position")) s.position = triple(c["position"], "position");
            if (c.contains("angles")) s.angles = triple(c["angles"], "angles");
            if (c.contains("move")) {
                const std::array<float, 3> by = triple(c["move"], "move");
                for (std::size_t k = 0; k < 3; ++k) s.position[k] = finite(s.position[k] + by[k], "move");
            }
            if (c.contains("turn")) {
                const std::array<float, 3> by = triple(c["turn"], "turn");
                for (std::size_t k = 0; k < 3; ++k) s.angles[k] = wrapDegrees(std::fmod(s.angles[k] + by[k], 360.0F));
            }
            state_.sensors[i] = s;
            selected_ = i;
        } else if (c.contains("button")) {
            allowOnly({"button", "value"}, "button");
            const std::uint32_t i = index(c["button"], "button", state_.buttons.size(), "buttons");
            // A pointer, not `c.contains(...) ? c["value"] : json()`, which would copy the value recursively.
            const nlohmann::json none;
            const nlohmann::json* v = c.contains("value") ? &c["value"] : &none;
            const std::int64_t value =
                integer(*v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                        "\"value\" of a button must be a 32-bit integer");
            state_.buttons[i] = static_cast<std::int32_t>(value);
        } else {
            allowOnly({"valuator", "value", "steps"}, "valuator");
            const std::uint32_t i = index(c["valuator"], "valuator", state_.valuators.size(), "valuators");
            if (c.contains("value") == c.contains("steps"))
                throw std::invalid_argument("a valuator command gives either \"value\" or \"steps\"");
            if (c.contains("value")) {
                state_.valuators[i] = number(c["value"], "value");
            } else {
                const std::int64_t n =
                    integer(c["steps"], -MAX_STEPS, MAX_STEPS, "\"steps\" must be an integer from -1000 to 1000");
                float v = state_.valuators[i];
                for (std::int64_t k = 0; k < std::llabs(n); ++k)
                    v = clampValuator(v + (n > 0 ? steps_.valuator : -steps_.valuator));
                state_.valuators[i] = v;
            }
            valuator_ = i;
        }
    }

private:
    std::uint32_t sensorCount() const { return static_cast<std::uint32_t>(state_.sensors.size()); }

    Result select(std::uint32_t sensor) {
        if (sensor >= sensorCount()) return Result::unchanged;
        selected_ = sensor;
        return Result::changed;
    }
    static Result turn(SensorState& s, std::size_t axis, float by) {
        s.angles[axis] = wrapDegrees(s.angles[axis] + by);
        return Result::changed;
    }
    Result pushValuator(float by) {
        if (state_.valuators.empty()) return Result::unchanged;
        state_.valuators[valuator_] = clampValuator(state_.valuators[valuator_] + by);
        return Result::changed;
    }

    static constexpr std::int64_t MAX_STEPS = 1000;

    // An integer within [low, high]; one beyond 64 bits, signed or not, is refused, never wrapped.
    static std::int64_t integer(const nlohmann::json& v, std::int64_t low, std::int64_t high,
                                const std::string& error) {
        if (v.is_number_unsigned()) {
            const auto u = v.get<std::uint64_t>();
            if (high < 0 || u > static_cast<std::uint64_t>(high)) throw std::invalid_argument(error);
            return static_cast<std::int64_t>(u);
        }
        if (!v.is_number_integer() || v.get<std::int64_t>() < low || v.get<std::int64_t>() > high)
            throw std::invalid_argument(error);
        return v.get<std::int64_t>();
    }
    static std::uint32_t index(const nlohmann::json& v, const char* field, std::size_t count, const char* things) {
        return static_cast<std::uint32_t>(integer(
            v, 0, static_cast<std::int64_t>(count) - 1,
            std::string("\"") + field + "\" must be an index below the " + std::to_string(count) + " " + things));
    }
    static float finite(float value, const char* field) {
        if (!std::isfinite(value)) throw std::invalid_argument(std::string("\"") + field + "\" goes beyond a float");
        return value;
    }
    static float number(const nlohmann::json& v, const char* field) {
        if (!v.is_number()) throw std::invalid_argument(std::string("\"") + field + "\" must be a number");
        const double d = v.get<double>();
        // A double beyond a float's range has no float to become (the conversion is undefined).
        if (!(std::fabs(d) <= static_cast<double>(std::numeric_limits<float>::max())))
            throw std::invalid_argument(std::string("\"") + field + "\" goes beyond a float");
        return static_cast<float>(d);
    }
    static std::array<float, 3> triple(const nlohmann::json& v, const char* field) {
        if (!v.is_array() || v.size() != 3)
            throw std::invalid_argument(std::string("\"") + field + "\" must be an array of 3 numbers");
        return {number(v[0], field), number(v[1], field), number(v[2], field)};
    }

    std::vector<SensorState> start_;
    DriveSteps steps_;
    Snapshot state_;
    std::uint32_t selected_ = 0;
    std::uint32_t valuator_ = 0;
};

}  // namespace trackd_tools
