#include "display/DisplayNames.h"

#include "base/Text.h"

#include <algorithm>
#include <cctype>

namespace tovo::DisplayNames {
namespace {

// EDID pads names with line feeds and blanks.
std::string trimmedName(std::string_view text) { return std::string(trimmed(text, " \t\n\v\f\r")); }

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> fromEDID(const std::vector<uint8_t>& edid) {
    static const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    if (edid.size() < 128 || !std::equal(header, header + 8, edid.begin())) return std::nullopt;
    // Four 18-byte descriptors start at byte 54; a display descriptor has a zero pixel
    // clock, and tag 0xFC holds up to 13 bytes of name ended by a line feed.
    for (size_t at = 54; at + 18 <= 126; at += 18) {
        if (edid[at] != 0 || edid[at + 1] != 0 || edid[at + 3] != 0xFC) continue;
        std::string name;
        for (size_t i = at + 5; i < at + 18 && edid[i] != 0x0A; ++i) name += static_cast<char>(edid[i]);
        name = trimmedName(name);
        if (!name.empty()) return name;
    }
    return std::nullopt;
}

std::optional<std::string> choose(const std::optional<std::string>& edidName, std::string_view connectorName) {
    std::string name = trimmedName(edidName ? std::string_view(*edidName) : connectorName);
    if (name.empty() || (name.front() == '(' && name.back() == ')')) return std::nullopt;
    return name;
}

std::string kindOf(std::string_view connectorName) {
    for (std::string_view prefix : {"eDP", "LVDS", "DSI"}) {
        if (startsWithIgnoringCase(connectorName, prefix)) return "builtin";
    }
    return "external";
}

}  // namespace tovo::DisplayNames
