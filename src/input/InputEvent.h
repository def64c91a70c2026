#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovo {

// What an input event does, parsed once from its "type".
enum class InputKind { click, doubleClick, rightClick, down, up, move, drag, scroll, type, key, keyDown, keyUp };

// The body of POST /input. Keys not listed are ignored.
struct InputEvent {
    std::string type;               // as sent (for messages)
    std::optional<InputKind> kind;  // none: a type the service does not know (refused when planned)
    std::optional<int64_t> display;
    std::optional<double> x, y, dx, dy, vx, vy;
    std::optional<std::string> text, key, button, phase;
    std::optional<std::vector<std::string>> modifiers;
    std::optional<int64_t> seq;
    std::optional<int64_t> count;  // clicks of a click (1…3)

    // Decodes a JSON object; throws BadInput "invalid JSON body: {what is wrong}".
    static InputEvent decode(const std::string& body);

    // Where the pointer is after this event, in the display's 0…1 fractions (clamped): at
    // (x, y) for the pointer's actions and a scroll with a place, at the end of a drag; none
    // for the keyboard or without a place.
    std::optional<std::pair<double, double>> pointerAfter() const;
    // The pointer's own actions, which stop a gliding scroll.
    bool isPointerAction() const;
};

}  // namespace tovo
