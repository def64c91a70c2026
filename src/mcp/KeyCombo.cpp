#include "mcp/KeyCombo.h"

#include "base/Text.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace tovo::mcp {
namespace {

// Keysym and xdotool names (lower case) → the service's key names, where they differ. The
// service's own names ("return", "pageup", "forwarddelete", "a", "f5", …) pass as they are.
const std::map<std::string, std::string>& keyNames() {
    static const std::map<std::string, std::string> names = [] {
        std::map<std::string, std::string> t = {
            {"return", "return"},
            {"enter", "return"},
            {"kp_enter", "enter"},
            {"tab", "tab"},
            {"escape", "escape"},
            {"esc", "escape"},
            {"backspace", "backspace"},
            {"delete", "forwarddelete"},
            {"del", "forwarddelete"},
            {"insert", "insert"},
            {"home", "home"},
            {"end", "end"},
            {"page_up", "pageup"},
            {"prior", "pageup"},
            {"pageup", "pageup"},
            {"page_down", "pagedown"},
            {"next", "pagedown"},
            {"pagedown", "pagedown"},
            {"left", "left"},
            {"right", "right"},
            {"up", "up"},
            {"down", "down"},
            {"space", "space"},
            {"menu", "menu"},
            {"print", "print"},
            {"minus", "-"},
            {"equal", "="},
            {"comma", ","},
            {"period", "."},
            {"slash", "/"},
            {"backslash", "\\"},
            {"semicolon", ";"},
            {"apostrophe", "'"},
            {"grave", "`"},
            {"bracketleft", "["},
            {"bracketright", "]"},
            {"kp_add", "kp_add"},
            {"kp_subtract", "kp_subtract"},
            {"kp_multiply", "kp_multiply"},
            {"kp_divide", "kp_divide"},
            {"kp_decimal", "kp_decimal"},
        };
        for (int n = 1; n <= 24; ++n) t["f" + std::to_string(n)] = "f" + std::to_string(n);
        for (int n = 0; n <= 9; ++n) t["kp_" + std::to_string(n)] = "kp_" + std::to_string(n);
        for (char c : std::string_view("abcdefghijklmnopqrstuvwxyz0123456789=-][';\\,/.`"))
            t[std::string(1, c)] = std::string(1, c);
        return t;
    }();
    return names;
}

const std::map<std::string, std::string>& modifierNames() {
    static const std::map<std::string, std::string> names = {
        {"ctrl", "ctrl"},     {"control", "ctrl"},  {"control_l", "ctrl"}, {"control_r", "ctrl"}, {"shift", "shift"},
        {"shift_l", "shift"}, {"shift_r", "shift"}, {"alt", "alt"},        {"alt_l", "alt"},      {"alt_r", "alt"},
        {"option", "alt"},    {"super", "cmd"},     {"super_l", "cmd"},    {"super_r", "cmd"},    {"win", "cmd"},
        {"meta", "cmd"},      {"cmd", "cmd"},       {"command", "cmd"},
    };
    return names;
}

}  // namespace

KeyCombo KeyCombo::parse(const std::string& keys) {
    KeyCombo combo;
    std::vector<std::string> parts;
    // "+" alone or at the end ("ctrl++") is the plus key itself.
    size_t start = 0;
    for (size_t i = 0; i <= keys.size(); ++i) {
        if (i == keys.size() || (keys[i] == '+' && i > start)) {
            parts.push_back(keys.substr(start, i - start));
            start = i + 1;
        }
    }
    if (keys.empty() || parts.empty()) throw std::invalid_argument("keys is empty; send a key such as \"Return\"");
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        std::string lower = lowercased(part);
        if (lower.empty()) throw std::invalid_argument("keys \"" + keys + "\" has an empty part between \"+\"");
        if (auto modifier = modifierNames().find(lower); modifier != modifierNames().end()) {
            if (std::find(combo.modifiers.begin(), combo.modifiers.end(), modifier->second) == combo.modifiers.end())
                combo.modifiers.push_back(modifier->second);
            continue;
        }
        if (i + 1 != parts.size()) {
            throw std::invalid_argument("\"" + part + "\" in \"" + keys +
                                        "\" is not a modifier; only the last part may be a key (modifiers are "
                                        "ctrl, shift, alt and super)");
        }
        auto named = keyNames().find(lower);
        if (named == keyNames().end()) {
            throw std::invalid_argument("unknown key \"" + part +
                                        "\"; use X key names such as Return, Tab, Escape, BackSpace, Delete, Home, "
                                        "End, Page_Up, Page_Down, Left, F1…F24, KP_0…KP_9, or one character");
        }
        // An upper-case letter is that letter with Shift, as xdotool types it.
        if (part.size() == 1 && part[0] >= 'A' && part[0] <= 'Z' &&
            std::find(combo.modifiers.begin(), combo.modifiers.end(), "shift") == combo.modifiers.end()) {
            combo.modifiers.push_back("shift");
        }
        combo.key = named->second;
    }
    return combo;
}

}  // namespace tovo::mcp
