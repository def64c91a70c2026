#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovo {

// A key of the keyboard. A key that types a Latin-1 character has that character's value
// ('a' is 0x61); the named keys have values of their own, above any character. Only the
// backends know what their system calls the keys (x11: the keysym table of the XTest
// injector).
enum class Key : uint32_t {
    space = 0x20,
    returnKey = 0x10000,
    enter,  // the keypad's Enter
    tab,
    backspace,
    forwardDelete,
    escape,
    left,
    up,
    right,
    down,
    home,
    end,
    pageUp,
    pageDown,
    f1,  // f2…f24 follow one by one
    f12 = f1 + 11,
    f24 = f1 + 23,
    insert,
    menu,
    print,
    kp0,  // the keypad's digits, kp1…kp9 one by one
    kp9 = kp0 + 9,
    kpAdd,
    kpSubtract,
    kpMultiply,
    kpDivide,
    kpDecimal,
};

// True for a key that types the Latin-1 character of its value.
constexpr bool isCharacterKey(Key key) { return static_cast<uint32_t>(key) < 0x100; }

namespace Keys {

// The key of a key name ("a", "return", "pageup", "f5", …), exactly as named (lower case);
// no value for an unknown name.
std::optional<Key> named(std::string_view name);

// Looks a name up as the API does: lower-cased, then again without underscores.
std::optional<Key> lookup(const std::string& name);

}  // namespace Keys
}  // namespace tovo
