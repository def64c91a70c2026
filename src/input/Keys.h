#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovo {

// A key of the keyboard, by the keysym it produces: the values are the X keysyms (the same
// numbers xkbcommon uses), so that backends post it without a table of their own. Keys that
// type a Latin-1 character have that character's value ('a' is 0x61).
enum class Key : uint32_t {
    returnKey = 0xff0d,
    enter = 0xff8d,  // the keypad's Enter
    tab = 0xff09,
    space = 0x20,
    backspace = 0xff08,
    forwardDelete = 0xffff,
    escape = 0xff1b,
    left = 0xff51,
    up = 0xff52,
    right = 0xff53,
    down = 0xff54,
    home = 0xff50,
    end = 0xff57,
    pageUp = 0xff55,
    pageDown = 0xff56,
    f1 = 0xffbe,  // f2…f12 follow one by one
};

namespace Keys {

// The key of a key name ("a", "return", "pageup", "f5", …), exactly as named (lower case);
// no value for an unknown name.
std::optional<Key> named(std::string_view name);

// Looks a name up as the API does: lower-cased, then again without underscores.
std::optional<Key> lookup(const std::string& name);

}  // namespace Keys
}  // namespace tovo
