#pragma once

#include "capture/StillCapture.h"
#include "http/Connection.h"
#include "http/HTTPRequest.h"
#include "http/StreamWire.h"
#include "service/ScreenState.h"
#include "video/VideoCodec.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tovo {

// The stream options of a GET /stream query.
struct StreamRequestOptions {
    std::vector<std::string> codecs;  // accepted codec names, in the client's order
    std::optional<std::string> streamID;
    bool ack = false;
    bool cursorClient = false;  // the client draws the pointer itself
    std::optional<int> maxKbps;

    // Checks `stream`, `ack`, `cursor` and `maxKbps` in that order; throws HTTPError 400.
    static StreamRequestOptions parse(const HTTPRequest& request);
};

namespace StreamCodecs {
// "h264"/"hevc" from a comma-separated list: trimmed, lower-cased, unknown names and repeats
// dropped, the client's order kept.
std::vector<std::string> parse(const std::optional<std::string>& text);
// TOVO_VIDEO_CODECS (`variable`, may be null); both when it names no known codec.
std::set<VideoCodec> serverAllowed(const char* variable);
// The client's codecs, then h264, then hevc: the first allowed one that can be encoded.
// Throws HTTPError 503 when there is none.
VideoCodec choose(const std::vector<std::string>& client, const std::set<VideoCodec>& allowed,
                  const std::function<bool(VideoCodec)>& available);
}  // namespace StreamCodecs

// What a stream captures and how.
struct CaptureSetup {
    CaptureParams params;  // maxWidth is the chosen stream width
    StreamRequestOptions options;
    VideoCodec codec = VideoCodec::h264;
    int fps = 2;
};

// TOVO_VIDEO_MAX_WIDTH (`variable`, may be null): 1600 when absent or unreadable, clamped to
// 320…3840.
int videoMaxWidth(const char* variable);

// The display facts the stream width depends on.
struct StreamWidthInputs {
    int requested = 1280;        // R: the query's maxWidth after the still rules
    int pixelWidth = 0;          // P
    double pointsWidth = 0;      // the display's size in points
    double pointsHeight = 0;
    std::optional<int> serverMax;  // TOVO_VIDEO_MAX_WIDTH, when set
    int serverMaxValue = 1600;     // videoMaxWidth
    bool prefersAbove1080p = false;
};
int streamWidth(const StreamWidthInputs& in);

// Parses and checks the whole query (display, maxWidth, quality, the stream options,
// status, fps), chooses the codec and the width. Throws HTTPError.
CaptureSetup captureSetup(const HTTPRequest& request);
// `status`: absent, "", "0", "false" → false; "1", "true" → true; else 400.
bool statusRequested(const HTTPRequest& request);

// The bytes of one section of a stream response.
std::string streamPart(const std::string& contentType, std::string_view body, std::optional<std::pair<int, int>> size,
                       uint64_t seq, std::optional<double> publishedAt, const std::string& kind,
                       const std::optional<std::string>& codec, const std::string& boundary);
std::string statusPart(const ScreenDisplayState& state, const std::optional<ConsoleState>& console, uint64_t seq,
                       const StreamWire& wire);

// Sends the screen state of one display down a stream when it changes. Runs on the
// stream's connection thread only.
class StreamStatusFeed {
public:
    StreamStatusFeed(std::shared_ptr<ScreenStateTracker> tracker, uint32_t display);
    // False when the stream must end (a write failed, or the display is unavailable).
    bool pump(Connection& connection);
    bool write(Connection& connection, const ScreenDisplayState& state, const std::optional<ConsoleState>& console);

private:
    const std::shared_ptr<ScreenStateTracker> tracker;
    const uint32_t display;
    std::optional<ScreenDisplayState> sent;
    std::optional<uint64_t> seen;
};

}  // namespace tovo
