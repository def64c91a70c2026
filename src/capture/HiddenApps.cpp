#include "capture/HiddenApps.h"

#include "base/BadInput.h"
#include "base/Text.h"

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
    // Without regard to case, as `visible` compares: X11 class names are capitalised
    // ("XTerm") where clients write them in lower case, and a hidden app must never show.
    const std::string id = lowercased(*bundleId);
    for (const auto& pattern : patterns) {
        const std::string wanted = lowercased(pattern);
        if (!wanted.empty() && wanted.back() == '*') {
            if (id.rfind(wanted.substr(0, wanted.size() - 1), 0) == 0) return true;
        } else if (id == wanted) {
            return true;
        }
    }
    return false;
}

}  // namespace tovo
