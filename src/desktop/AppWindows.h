#pragma once

#include "http/Connection.h"
#include "http/HTTPRequest.h"
#include "platform/WindowSystem.h"

#include <nlohmann/json.hpp>

#include <string>

namespace tovo::AppWindows {

// Every window of the apps with `bundleId` (compared without case), on screen or not, in
// the order: on-screen normal windows, other on-screen windows, off-screen windows,
// minimised windows. {"app": null, "windows": []} when no such app runs.
nlohmann::json list(const std::string& bundleId);

// The window a request names with `window`: 400 "window is required", 404 "no window {n}",
// 403 for a window of this process.
WindowRecord requireWindow(const HTTPRequest& request);

// GET /app/windows.
void handle(HTTPRequest& request, Connection& connection);
// GET /app/screenshot: a JPEG of one window's own pixels, even where others cover it.
void screenshot(HTTPRequest& request, Connection& connection);

}  // namespace tovo::AppWindows
