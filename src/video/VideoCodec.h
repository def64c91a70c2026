#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovo {

enum class VideoCodec { h264, hevc };

inline const char* toString(VideoCodec codec) { return codec == VideoCodec::h264 ? "h264" : "hevc"; }

// "video/h264" or "video/hevc": the media type of one encoded picture's section.
inline std::string contentType(VideoCodec codec) { return std::string("video/") + toString(codec); }

// The codec named exactly "h264" or "hevc".
inline std::optional<VideoCodec> videoCodecNamed(std::string_view name) {
    if (name == "h264") return VideoCodec::h264;
    if (name == "hevc") return VideoCodec::hevc;
    return std::nullopt;
}

}  // namespace tovo
