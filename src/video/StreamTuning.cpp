#include "video/StreamTuning.h"

#include "base/Text.h"
#include "video/StreamRequest.h"

#include <algorithm>
#include <cstdlib>

namespace tovo {

StreamTuning StreamTuning::fromEnvironment(const char* maxKbpsVariable) {
    StreamTuning tuning;
    if (!maxKbpsVariable) return tuning;
    auto value = parseDecimalInteger(maxKbpsVariable);
    if (!value) return tuning;
    tuning.maxKbps = static_cast<int>(std::clamp<int64_t>(*value, 100, 100000));
    tuning.minKbps = std::min(StreamTuning{}.minKbps, tuning.maxKbps);
    tuning.startKbps = std::clamp(StreamTuning{}.startKbps, tuning.minKbps, tuning.maxKbps);
    return tuning;
}

StreamTuning StreamTuning::withClientCap(std::optional<int> capKbps) const {
    if (!capKbps) return *this;
    StreamTuning capped = *this;
    capped.maxKbps = std::min(*capKbps, maxKbps);
    capped.minKbps = std::min(capped.maxKbps, minKbps);
    capped.startKbps = std::clamp(startKbps, capped.minKbps, capped.maxKbps);
    capped.requestMaxKbps = capKbps;
    return capped;
}

StreamSettings StreamSettings::fromEnvironment(const std::function<const char*(const char*)>& get) {
    StreamSettings settings;
    settings.tuning = StreamTuning::fromEnvironment(get("TOVO_VIDEO_MAX_KBPS"));
    settings.codecs = StreamCodecs::serverAllowed(get("TOVO_VIDEO_CODECS"));
    const char* width = get("TOVO_VIDEO_MAX_WIDTH");
    settings.maxWidthValue = videoMaxWidth(width);
    if (width) settings.maxWidth = settings.maxWidthValue;
    return settings;
}

}  // namespace tovo
