#include "base/Language.h"

#include "base/Text.h"

namespace tovo {

std::string preferredLanguage(const std::function<const char*(const char*)>& environment) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = environment(name);
        if (!value || !*value) continue;
        std::string text = value;
        if (auto colon = text.find(':'); colon != std::string::npos) text.resize(colon);
        if (!text.empty()) return text;
    }
    return "";
}

bool prefersChinese(const std::function<const char*(const char*)>& environment) {
    return lowercased(preferredLanguage(environment)).rfind("zh", 0) == 0;
}

}  // namespace tovo
