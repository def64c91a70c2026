#include "remote/Der.h"

#include <ctime>

namespace tovo::DER {

std::string tlv(uint8_t tag, std::string_view content) {
    std::string out(1, static_cast<char>(tag));
    size_t length = content.size();
    if (length < 128) {
        out += static_cast<char>(length);
    } else {
        std::string bytes;
        for (; length > 0; length >>= 8) bytes.insert(bytes.begin(), static_cast<char>(length & 0xFF));
        out += static_cast<char>(0x80 + bytes.size());
        out += bytes;
    }
    out.append(content);
    return out;
}

std::string sequence(const std::vector<std::string>& items, uint8_t tag) {
    std::string content;
    for (const auto& item : items) content += item;
    return tlv(tag, content);
}

std::string oid(std::initializer_list<uint64_t> components) {
    std::vector<uint64_t> parts(components);
    std::string content;
    auto base128 = [&](uint64_t value) {
        std::string groups(1, static_cast<char>(value & 0x7F));
        for (value >>= 7; value > 0; value >>= 7)
            groups.insert(groups.begin(), static_cast<char>(0x80 | (value & 0x7F)));
        content += groups;
    };
    if (parts.size() >= 2) base128(40 * parts[0] + parts[1]);
    for (size_t i = 2; i < parts.size(); ++i) base128(parts[i]);
    return tlv(0x06, content);
}

std::string utf8String(std::string_view text) { return tlv(0x0C, text); }

std::string integer(std::string_view bytes) {
    size_t first = bytes.find_first_not_of('\0');
    std::string content = first == std::string_view::npos ? std::string(1, '\0') : std::string(bytes.substr(first));
    if (static_cast<uint8_t>(content[0]) & 0x80) content.insert(content.begin(), '\0');
    return tlv(0x02, content);
}

std::string smallInteger(uint64_t value) {
    std::string bytes;
    for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
    return integer(bytes);
}

std::string bitString(std::string_view bits) { return tlv(0x03, std::string(1, '\0') + std::string(bits)); }

std::string time(int64_t unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    int year = utc.tm_year + 1900;
    char text[32];
    if (year < 2050) {
        std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", &utc);
        return tlv(0x17, text);
    }
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
    return tlv(0x18, text);
}

std::string explicitTag(int n, std::string_view element) { return tlv(static_cast<uint8_t>(0xA0 + n), element); }

}  // namespace tovo::DER
