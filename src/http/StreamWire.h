#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovo {

// One multipart dialect of a streamed response: its boundary and the media types of its
// sections. A connection starts with the legacy dialect until a stream handler negotiates.
struct StreamWire {
    std::string boundary;
    std::string stream;  // content type of a video stream response
    std::string audio;   // content type of an audio stream response
    std::string cursor;  // content type of a cursor section
    std::string status;  // content type of a status section

    static StreamWire current() {
        return {"frame", "application/vnd.tovo-control.stream; boundary=frame",
                "application/vnd.tovo-control.audio; boundary=frame", "application/vnd.tovo-control.cursor+json",
                "application/vnd.tovo-control.status+json"};
    }
    static StreamWire legacy() {
        return {"kilnframe", "application/x-kiln-mjpeg; boundary=kilnframe",
                "application/x-kiln-audio; boundary=kilnframe", "application/x-kiln-cursor",
                "application/x-kiln-status"};
    }

    // The current dialect when the Accept header lists `type` (compared without parameters,
    // trimmed, case-insensitively), else the legacy one.
    static StreamWire negotiate(const std::optional<std::string>& accept, const std::string& type);

    bool operator==(const StreamWire&) const = default;
};

}  // namespace tovo

namespace tovo {

// The bytes of one section of a streamed response: boundary line, Content-Type,
// Content-Length, the X-Frame-… headers that are given, X-Stream-Codec when given, a blank
// line, the body and a line end.
std::string streamPart(const std::string& contentType, std::string_view body, std::optional<std::pair<int, int>> size,
                       uint64_t seq, std::optional<double> publishedAt, const std::string& kind,
                       const std::optional<std::string>& codec, const std::string& boundary);

}  // namespace tovo
