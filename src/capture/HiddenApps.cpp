#include "capture/HiddenApps.h"

#include "base/Text.h"
#include "base/BadInput.h"

#include <cctype>

namespace tovo {

HiddenApps HiddenApps::parse(const std::optional<std::string>& text) {
    HiddenApps hidden;
    if (!text) return hidden;
    std::vector<std::string> items;
    for (auto piece : splitOn(*text, ',')) {
        if (auto item = trimmed(piece); !item.empty()) items.emplace_back(item);
    }
    if (items.size() > maxItems) throw BadInput("hide names more than " + std::to_string(maxItems) + " apps");
    for (const auto& item : items) {
        std::string name = !item.empty() && item.back() == '*' ? item.substr(0, item.size() - 1) : item;
        for (unsigned char c : name) {
            if (!std::isalnum(c) || c > 0x7F) {
                if (c == '.' || c == '-' || c == '_') continue;
                throw BadInput("hide: " + item + " is not a bundle id (a trailing * matches a prefix)");
            }
        }
        hidden.patterns.push_back(item);
    }
    return hidden;
}

bool HiddenApps::hides(const std::optional<std::string>& bundleId) const {
    if (!bundleId) return false;
    for (const auto& pattern : patterns) {
        if (!pattern.empty() && pattern.back() == '*') {
            if (bundleId->rfind(pattern.substr(0, pattern.size() - 1), 0) == 0) return true;
        } else if (*bundleId == pattern) {
            return true;
        }
    }
    return false;
}

}  // namespace tovo
