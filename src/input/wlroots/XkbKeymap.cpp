#include "input/wlroots/XkbKeymap.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace tovo {
namespace {

constexpr uint32_t firstCode = 9;  // XKB key codes start at 8; 8 itself stays unused

// The keysym names of the named keys, XKB's own.
std::string keysymNameOf(Key key) {
    switch (key) {
    case Key::returnKey: return "Return";
    case Key::enter: return "KP_Enter";
    case Key::tab: return "Tab";
    case Key::backspace: return "BackSpace";
    case Key::forwardDelete: return "Delete";
    case Key::escape: return "Escape";
    case Key::left: return "Left";
    case Key::up: return "Up";
    case Key::right: return "Right";
    case Key::down: return "Down";
    case Key::home: return "Home";
    case Key::end: return "End";
    case Key::pageUp: return "Prior";
    case Key::pageDown: return "Next";
    case Key::insert: return "Insert";
    case Key::menu: return "Menu";
    case Key::print: return "Print";
    case Key::kpAdd: return "KP_Add";
    case Key::kpSubtract: return "KP_Subtract";
    case Key::kpMultiply: return "KP_Multiply";
    case Key::kpDivide: return "KP_Divide";
    case Key::kpDecimal: return "KP_Decimal";
    default: break;
    }
    const auto value = static_cast<uint32_t>(key);
    if (value >= static_cast<uint32_t>(Key::f1) && value <= static_cast<uint32_t>(Key::f24))
        return "F" + std::to_string(value - static_cast<uint32_t>(Key::f1) + 1);
    if (value >= static_cast<uint32_t>(Key::kp0) && value <= static_cast<uint32_t>(Key::kp9))
        return "KP_" + std::to_string(value - static_cast<uint32_t>(Key::kp0));
    return {};
}

const char* const modifierKeysyms[] = {"Shift_L", "Control_L", "Alt_L", "Super_L"};
const char* const modifierNames[] = {"Shift", "Control", "Mod1", "Mod4"};

}  // namespace

std::string keysymNameOf(char32_t c) {
    if (c == '\n' || c == '\r') return "Return";
    if (c == '\t') return "Tab";
    if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c > 0x10ffff) return {};
    char name[16];
    std::snprintf(name, sizeof name, "U%04X", static_cast<unsigned>(c));
    return name;
}

XkbKeymap::XkbKeymap() {
    for (const char* modifier : modifierKeysyms) add(modifier);
    for (uint32_t value = static_cast<uint32_t>(Key::returnKey); value <= static_cast<uint32_t>(Key::kpDecimal);
         ++value) {
        const auto name = keysymNameOf(static_cast<Key>(value));
        if (!name.empty()) add(name);
    }
    for (char32_t c = 0x20; c < 0x7f; ++c) add(keysymNameOf(c));
    fixedCount = keysyms.size();
}

uint32_t XkbKeymap::add(const std::string& keysym) {
    keysyms.push_back(keysym);
    return static_cast<uint32_t>(keysyms.size() - 1) + firstCode - 8;
}

uint32_t XkbKeymap::modifierKey(Modifier modifier) const { return static_cast<uint32_t>(modifier) + firstCode - 8; }

uint32_t XkbKeymap::modifierMask(Modifier modifier) {
    switch (modifier) {
    case Modifier::shift: return 1u << 0;
    case Modifier::control: return 1u << 2;
    case Modifier::alt: return 1u << 3;
    case Modifier::super: return 1u << 6;
    }
    return 0;
}

std::optional<uint32_t> XkbKeymap::keyOf(Key key) {
    const std::string name = isCharacterKey(key) ? keysymNameOf(static_cast<char32_t>(key)) : keysymNameOf(key);
    if (name.empty()) return std::nullopt;
    auto at = std::find(keysyms.begin(), keysyms.end(), name);
    if (at != keysyms.end()) return static_cast<uint32_t>(at - keysyms.begin()) + firstCode - 8;
    // A Latin-1 letter beyond ASCII: given a key like any other character.
    prepare(std::u32string(1, static_cast<char32_t>(key)));
    return keyOfScalar(static_cast<char32_t>(key));
}

std::optional<uint32_t> XkbKeymap::keyOfScalar(char32_t c) const {
    const std::string name = keysymNameOf(c);
    if (name.empty()) return std::nullopt;
    auto at = std::find(keysyms.begin(), keysyms.end(), name);
    if (at == keysyms.end()) return std::nullopt;
    return static_cast<uint32_t>(at - keysyms.begin()) + firstCode - 8;
}

bool XkbKeymap::prepare(const std::u32string& text) {
    std::vector<char32_t> missing;
    for (char32_t c : text) {
        const std::string name = keysymNameOf(c);
        if (name.empty() || std::find(keysyms.begin(), keysyms.end(), name) != keysyms.end()) continue;
        if (std::find(missing.begin(), missing.end(), c) == missing.end()) missing.push_back(c);
    }
    if (missing.empty()) return false;
    if (spare.size() + missing.size() > spareKeys) {
        spare.clear();
        keysyms.resize(fixedCount);
    }
    for (char32_t c : missing) {
        if (spare.size() == spareKeys) break;
        spare.push_back(c);
        add(keysymNameOf(c));
    }
    return true;
}

std::vector<std::u32string> XkbKeymap::piecesOf(const std::u32string& text) {
    std::vector<std::u32string> pieces(1);
    std::set<char32_t> distinct;
    for (char32_t c : text) {
        const bool fixed = c < 0x7f;
        if (!fixed && !distinct.count(c)) {
            if (distinct.size() == spareKeys) {
                pieces.emplace_back();
                distinct.clear();
            }
            distinct.insert(c);
        }
        pieces.back() += c;
    }
    return pieces;
}

std::string XkbKeymap::text() const {
    const uint32_t last = firstCode + static_cast<uint32_t>(keysyms.size()) - 1;
    std::string out = "xkb_keymap {\nxkb_keycodes \"tovo\" {\nminimum = 8;\nmaximum = " +
                      std::to_string(std::max<uint32_t>(last, 255)) + ";\n";
    for (uint32_t code = firstCode; code <= last; ++code)
        out += "<K" + std::to_string(code) + "> = " + std::to_string(code) + ";\n";
    out += "};\nxkb_types \"tovo\" { include \"complete\" };\nxkb_compatibility \"tovo\" { include \"complete\" };\n";
    out += "xkb_symbols \"tovo\" {\n";
    for (size_t i = 0; i < keysyms.size(); ++i)
        out += "key <K" + std::to_string(firstCode + i) + "> { [ " + keysyms[i] + " ] };\n";
    for (size_t i = 0; i < 4; ++i)
        out += std::string("modifier_map ") + modifierNames[i] + " { <K" + std::to_string(firstCode + i) + "> };\n";
    out += "};\n};\n";
    return out;
}

}  // namespace tovo
