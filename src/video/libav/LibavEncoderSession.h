#pragma once

#include "video/EncoderSession.h"

#include <optional>

namespace tovo {

// Sessions on FFmpeg's encoders: a hardware encoder when its device is there, else libx264
// or libx265. `rate`, when given, replaces each session's own rate control. A constant
// quality applies to libx264; the others keep their average rate.
EncoderSessionFactory libavSessionFactory(std::optional<RateControl> rate = std::nullopt);

}  // namespace tovo
