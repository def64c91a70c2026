#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovo {

// `text` without leading and trailing characters from `spaces`. The view points into `text`.
std::string_view trimmed(std::string_view text, std::string_view spaces = " \t\r\n");
// ASCII letters lower-cased; other bytes unchanged.
std::string lowercased(std::string_view text);
// The pieces of `text` between `separator`s (an empty text gives one empty piece). The views
// point into `text`.
std::vector<std::string_view> splitOn(std::string_view text, char separator);

// Decimal integer with an optional leading "+" or "-", nothing else (no white space);
// no value when it does not fit in 64 bits.
std::optional<int64_t> parseDecimalInteger(std::string_view text);

// `bytes` in Base64: the standard alphabet with "=" padding, or with `url` the URL-safe
// one ("-", "_") without padding.
std::string base64(std::string_view bytes, bool url = false);
// The bytes of standard base64 text (padding optional); none for anything else.
std::optional<std::string> base64Decode(std::string_view text);

// `text` with every byte that is not an ASCII letter or digit, or one of `keep`, written as
// %XX (upper-case hex).
std::string percentEncode(std::string_view text, std::string_view keep);
// `text` with its %XX escapes decoded; none when an escape is malformed.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace tovo
