#pragma once

#include <string>
#include <string_view>

namespace tovo {

// Returns `bytes` as valid UTF-8: every byte sequence that is not well-formed UTF-8
// (stray continuation bytes, truncated or overlong sequences, surrogates, code points
// above U+10FFFF) is replaced by U+FFFD. Valid input comes back unchanged.
std::string sanitizeUtf8(std::string_view bytes);

// True when `bytes` is well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

}  // namespace tovo
