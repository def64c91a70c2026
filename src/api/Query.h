#pragma once

#include "capture/FrameFilter.h"
#include "capture/StillCapture.h"
#include "http/HTTPRequest.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tovo::Query {

// The raw query value `name`, if present.
std::optional<std::string> value(const HTTPRequest& request, const std::string& name);
// A query value that must be a number in 0…1 (both included). Throws 400 "{name} is
// required" when absent or empty, "{name} must be a number in 0…1" otherwise.
double unit(const HTTPRequest& request, const std::string& name);
// The query integer `name` clamped into lo…hi, or `fallback` when absent.
int clamped(const HTTPRequest& request, const std::string& name, int fallback, int lo, int hi);
// The request body as a JSON object; throws 400 "body must be a JSON object".
nlohmann::json jsonBody(const HTTPRequest& request);
// `display`, `maxWidth` and `quality` (in that order), the display resolved and the numbers
// clamped. Throws HTTPError, DisplayError.
CaptureParams captureParams(const HTTPRequest& request, Displays& displays);

// `visible`, `hide` and `crop`: the filter they ask for, if any. Throws BadInput.
std::optional<FrameFilter> frameFilter(const HTTPRequest& request);

}  // namespace tovo::Query
