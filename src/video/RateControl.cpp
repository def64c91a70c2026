#include "base/Text.h"
#include "video/EncoderSession.h"

#include <cmath>
#include <string>

namespace tovo {

RateControl RateControl::fromEnvironment(const std::function<const char*(const char*)>& get) {
    RateControl rate;
    const char* value = get("TOVO_VIDEO_RATE");
    if (!value) return rate;
    std::string text = lowercased(std::string(trimmed(value, " \t")));
    if (text == "average") {
        rate.mode = Mode::average;
    } else if (text.starts_with("quality:")) {
        try {
            size_t used = 0;
            double factor = std::stod(text.substr(8), &used);
            if (used == text.size() - 8 && std::isfinite(factor) && factor >= 0 && factor <= 51) rate.quality = factor;
        } catch (const std::exception&) {}
    }
    return rate;
}

}  // namespace tovo
