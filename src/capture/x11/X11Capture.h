#pragma once

#include "capture/ScreenCapturer.h"
#include "display/OwnWindows.h"

#include <memory>

namespace tovo {

// A capturer on a connection of its own (MIT-SHM, XDamage, XFixes, Composite); throws
// CaptureFailure when the display cannot be opened. Pictures leave out the windows `own`
// lists (which must outlive the capturer; none for no such windows).
std::unique_ptr<ScreenCapturer> makeX11ScreenCapturer(const OwnWindows* own);

}  // namespace tovo
