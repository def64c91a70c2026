#pragma once

#include "video/VideoCodec.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovo {

// One encoded picture as an Annex B byte stream: every NAL unit after a four-byte start code,
// and on key units the parameter sets (SPS, PPS; for HEVC VPS, SPS, PPS) first.
struct VideoAccessUnit {
    std::string data;
    bool isKey = false;
    int width = 0;
    int height = 0;
};

// The NAL units of an Annex B stream (three- or four-byte start codes), without start codes.
std::vector<std::string_view> splitAnnexB(std::string_view stream);

// NAL unit type of one NAL (without start code), or -1 when it is empty.
int nalType(VideoCodec codec, std::string_view nal);
// VPS/SPS/PPS.
bool isParameterSet(VideoCodec codec, std::string_view nal);

// Builds the access unit's bytes from an encoder's Annex B output: start codes become four
// bytes, and a key unit whose parameter sets the encoder left out gets `parameterSets`
// (Annex B, typically the encoder's global header) put in front, parameter sets first and
// in their own order. No value when `encoded` holds no NAL unit.
std::optional<std::string> packAccessUnit(VideoCodec codec, std::string_view encoded, bool isKey,
                                          std::string_view parameterSets);

}  // namespace tovo
