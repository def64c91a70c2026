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

// The Unicode scalars of `bytes`; a malformed sequence reads as U+FFFD, as sanitizeUtf8 does.
std::u32string utf8Scalars(std::string_view bytes);

// The first `count` code points of `text` (UTF-8).
std::string_view utf8Prefix(std::string_view text, size_t count);

// The longest start of `text` (UTF-8) of at most `maxBytes` bytes that ends on a character
// boundary.
std::string_view utf8Truncated(std::string_view text, size_t maxBytes);

// True when `bytes` is well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// ISO 8859-1 (the X selection type STRING) to and from UTF-8. Characters Latin-1 lacks
// become '?'; `text` must be UTF-8.
std::string latin1FromUtf8(std::string_view text);
std::string utf8FromLatin1(std::string_view latin1);

}  // namespace tovo
