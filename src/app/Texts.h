#pragma once

#include <string>

namespace tovo {

// Picks every user-visible text of the app: Simplified Chinese when the user's first
// preferred language is Chinese, English otherwise.
struct Texts {
    bool chinese = false;
    std::string operator()(const std::string& english, const std::string& chinese) const {
        return this->chinese ? chinese : english;
    }
};

}  // namespace tovo
