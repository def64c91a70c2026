#pragma once

#include "video/EncoderSession.h"

namespace tovo {

// Sessions on FFmpeg's encoders: a hardware encoder when its device is there, else libx264
// or libx265.
EncoderSessionFactory libavSessionFactory();

}  // namespace tovo
