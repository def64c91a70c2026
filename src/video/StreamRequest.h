#pragma once

#include "video/VideoCodec.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tovo {

namespace StreamCodecs {
// "h264"/"hevc" from a comma-separated list: trimmed, lower-cased, unknown names and repeats
// dropped, the client's order kept.
std::vector<std::string> parse(const std::optional<std::string>& text);
// TOVO_VIDEO_CODECS (`variable`, may be null); both when it names no known codec.
std::set<VideoCodec> serverAllowed(const char* variable);
// The client's codecs, then h264, then hevc: the first allowed one that can be encoded;
// none when there is none.
std::optional<VideoCodec> choose(const std::vector<std::string>& client, const std::set<VideoCodec>& allowed,
                                 const std::function<bool(VideoCodec)>& available);
}  // namespace StreamCodecs

// TOVO_VIDEO_MAX_WIDTH (`variable`, may be null): 1600 when absent or unreadable, clamped to
// 320…3840.
int videoMaxWidth(const char* variable);

// The display facts the stream width depends on.
struct StreamWidthInputs {
    int requested = 1280;    // R: the query's maxWidth after the still rules
    int pixelWidth = 0;      // P
    double pointsWidth = 0;  // the display's size in points
    double pointsHeight = 0;
    std::optional<int> serverMax;  // TOVO_VIDEO_MAX_WIDTH, when set
    int serverMaxValue = 1600;     // videoMaxWidth
    bool prefersAbove1080p = false;
};
int streamWidth(const StreamWidthInputs& in);

}  // namespace tovo
