#pragma once

#include <string>
#include <vector>

namespace tovo {

// The user-perceived characters (extended grapheme clusters) of UTF-8 text, each as UTF-8.
// "\r\n" is one character. Invalid UTF-8 is read with replacement characters.
std::vector<std::string> graphemeClusters(const std::string& text);

// The number of UTF-16 code units of UTF-8 text.
size_t utf16Length(const std::string& text);

// The first Unicode scalar of UTF-8 text (0 for empty text).
char32_t firstScalar(const std::string& text);

}  // namespace tovo
