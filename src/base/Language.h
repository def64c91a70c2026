#pragma once

#include <functional>
#include <string>

namespace tovo {

// The user's first preferred language as the environment names it: the first entry of
// LANGUAGE, else LC_ALL, else LC_MESSAGES, else LANG (the first that is set and not empty);
// empty when none is.
std::string preferredLanguage(const std::function<const char*(const char*)>& environment);

// True when that language, lower-cased, begins with "zh".
bool prefersChinese(const std::function<const char*(const char*)>& environment);

}  // namespace tovo
