#include "base/Utf8.h"

#include <cstdint>

namespace tovo {
namespace {

// Length of the well-formed sequence starting at `i`, or 0 when it is malformed.
size_t sequenceLength(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return len;
}

}  // namespace

std::string sanitizeUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t len = sequenceLength(bytes, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

bool isValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        size_t len = sequenceLength(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

size_t codePointCount(std::string_view text) {
    size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

std::u32string utf8Scalars(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t len = sequenceLength(bytes, i);
        if (len == 0) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        auto lead = static_cast<uint8_t>(bytes[i]);
        char32_t c = len == 1 ? lead : lead & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<uint8_t>(bytes[i + k]) & 0x3F);
        out += c;
        i += len;
    }
    return out;
}

std::string_view utf8Prefix(std::string_view text, size_t count) {
    size_t i = 0;
    for (size_t seen = 0; i < text.size(); ++i) {
        if ((static_cast<uint8_t>(text[i]) & 0xC0) != 0x80 && seen++ == count) break;
    }
    return text.substr(0, i);
}

std::string_view utf8Truncated(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

std::vector<std::string> utf8Characters(std::string_view text) {
    std::vector<std::string> out;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80 || out.empty()) out.emplace_back();
        out.back() += static_cast<char>(c);
    }
    return out;
}

std::string latin1FromUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const std::string& character : utf8Characters(text)) {
        const auto lead = static_cast<unsigned char>(character[0]);
        if (lead < 0x80) {
            out += character[0];
        } else if ((lead == 0xC2 || lead == 0xC3) && character.size() == 2) {
            out += static_cast<char>(((lead & 0x03) << 6) | (static_cast<unsigned char>(character[1]) & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
}

std::string utf8FromLatin1(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace tovo
