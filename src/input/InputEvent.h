#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The body of POST /input. Keys not listed are ignored.
struct InputEvent {
    std::string type;
    std::optional<int64_t> display;
    std::optional<double> x, y, dx, dy, vx, vy;
    std::optional<std::string> text, key, button, phase;
    std::optional<std::vector<std::string>> modifiers;
    std::optional<int64_t> seq;

    // Decodes a JSON object; throws BadInput "invalid JSON body: {what is wrong}".
    static InputEvent decode(const std::string& body);
};

}  // namespace tovo
