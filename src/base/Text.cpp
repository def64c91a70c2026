#include "base/Text.h"

#include <charconv>
#include <algorithm>
#include <cctype>

namespace tovo {

std::string_view trimmed(std::string_view text, std::string_view spaces) {
    size_t begin = text.find_first_not_of(spaces);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(spaces) - begin + 1);
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

std::optional<int64_t> parseDecimalInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace tovo
