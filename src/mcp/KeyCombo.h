#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tovo::mcp {

// A key combination as agents write it ("ctrl+shift+t", "Return", "super", "KP_Enter"): X
// keysym and xdotool names, case aside, translated into the service's key and modifier names.
struct KeyCombo {
    std::vector<std::string> modifiers;  // the service's names: ctrl, shift, alt, cmd
    std::optional<std::string> key;      // the service's key name; none for modifiers alone

    // Throws std::invalid_argument with a sentence naming the piece it does not know.
    static KeyCombo parse(const std::string& keys);
};

}  // namespace tovo::mcp
