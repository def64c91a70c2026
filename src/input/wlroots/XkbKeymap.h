#pragma once

#include "input/Keys.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The keymap a virtual keyboard uploads, in XKB's text form: one key per keysym, each on a
// single level, so that a key press types its keysym whatever modifiers are held. Modifier
// keys, the named keys and printable ASCII always have a key; other characters are given
// keys as text needs them, in a range that starts over when it is full.
//
// Key codes are evdev's (the keymap's code minus 8), as the virtual keyboard protocol sends
// them. Pure and single-threaded.
class XkbKeymap {
public:
    XkbKeymap();

    enum class Modifier { shift, control, alt, super };
    // The key of a modifier, and its bit in the modifier mask the protocol sends.
    uint32_t modifierKey(Modifier modifier) const;
    static uint32_t modifierMask(Modifier modifier);

    // The key of a named or character key; none for a character the keymap cannot hold.
    std::optional<uint32_t> keyOf(Key key);
    // Makes sure every character of `text` has a key (starting the range over when the new
    // ones do not fit beside the old); true when the keymap changed and must be uploaded
    // again. Characters that never fit (more distinct ones than the range holds) are typed
    // by later calls, in pieces: see piecesOf.
    bool prepare(const std::u32string& text);
    // The key typing `c` (after prepare); none for a control character other than tab and
    // newline.
    std::optional<uint32_t> keyOfScalar(char32_t c) const;
    // `text` cut into pieces whose distinct characters fit the range.
    static std::vector<std::u32string> piecesOf(const std::u32string& text);

    std::string text() const;

    static constexpr size_t spareKeys = 80;

private:
    uint32_t add(const std::string& keysym);
    std::vector<std::string> keysyms;  // by key code - 8 - firstCode
    std::vector<char32_t> spare;       // the characters in the spare range, in order
    size_t fixedCount = 0;
};

// The XKB keysym name of a character: "Return" and "Tab" for newline and tab, "U00E9"
// for the rest; empty for other control characters.
std::string keysymNameOf(char32_t c);

}  // namespace tovo
