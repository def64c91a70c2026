#include "api/Query.h"

#include "base/Json.h"
#include "http/HTTPError.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tovo::Query {

std::optional<std::string> value(const HTTPRequest& request, const std::string& name) {
    auto it = request.query.find(name);
    if (it == request.query.end()) return std::nullopt;
    return it->second;
}

double unit(const HTTPRequest& request, const std::string& name) {
    auto it = request.query.find(name);
    if (it == request.query.end() || it->second.empty()) throw HTTPError(400, name + " is required");
    const std::string& text = it->second;
    char* end = nullptr;
    double number = std::strtod(text.c_str(), &end);
    bool whole = end == text.c_str() + text.size() && !std::isspace(static_cast<unsigned char>(text.front()));
    if (!whole || !(number >= 0 && number <= 1)) throw HTTPError(400, name + " must be a number in 0…1");
    return number;
}

int clamped(const HTTPRequest& request, const std::string& name, int fallback, int lo, int hi) {
    return static_cast<int>(std::clamp<int64_t>(request.integer(name).value_or(fallback), lo, hi));
}

nlohmann::json jsonBody(const HTTPRequest& request) {
    std::optional<nlohmann::json> body = parseJson(request.body);
    if (!body || !body->is_object()) throw HTTPError(400, "body must be a JSON object");
    return std::move(*body);
}

CaptureParams captureParams(const HTTPRequest& request, Displays& displays) {
    CaptureParams params;
    params.display = displays.resolve(request.integer("display"));
    params.maxWidth =
        clamped(request, "maxWidth", CaptureParams::defaultWidth, CaptureParams::minWidth, CaptureParams::maxMaxWidth);
    params.quality = clamped(request, "quality", CaptureParams::defaultQuality, CaptureParams::minQuality,
                             CaptureParams::maxQuality);
    return params;
}

std::optional<FrameFilter> frameFilter(const HTTPRequest& request) {
    return FrameFilter::parse(value(request, "visible"), value(request, "hide"), value(request, "crop"));
}

}  // namespace tovo::Query
