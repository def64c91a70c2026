#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovo {

// Returns `bytes` as valid UTF-8: every byte sequence that is not well-formed UTF-8
// (stray continuation bytes, truncated or overlong sequences, surrogates, code points
// above U+10FFFF) is replaced by U+FFFD. Valid input comes back unchanged.
std::string sanitizeUtf8(std::string_view bytes);

// The code points of `text` (which must be UTF-8), each as its UTF-8 bytes.
std::vector<std::string> utf8Characters(std::string_view text);

// The number of code points in `text`, which must be UTF-8.
size_t codePointCount(std::string_view text);

// True when `bytes` is well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

}  // namespace tovo
