#pragma once

#include "capture/ScreenCapturer.h"
#include "desktop/WindowError.h"
#include "display/Displays.h"
#include "http/HTTPError.h"
#include "session/DesktopSession.h"

#include <functional>

namespace tovo::ErrorMapping {

// 503 when there is no display (its text says whether there is a session at all), 404
// "unknown display {id}".
HTTPError of(const DisplayError& error, DesktopSession& session);
// 404 no window / no accessible window, 403 hidden app, 409 minimised or without a picture.
HTTPError of(const WindowError& error);
// 403 when the screen cannot be captured at all, else 500 "capture failed: …".
HTTPError of(const CaptureFailure& error, DesktopSession& session);

// Runs `handler`, answering the features' errors the way the API does: BadInput as 400 with
// its message, and the three families above.
void answering(DesktopSession& session, const std::function<void()>& handler);

}  // namespace tovo::ErrorMapping
