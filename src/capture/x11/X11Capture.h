#pragma once

#include "capture/DisplaySource.h"
#include "capture/OwnWindows.h"
#include "capture/ScreenCapturer.h"
#include "x11/X11Connection.h"

#include <memory>

namespace tovo {

// RandR monitors (else Xinerama screens, else the whole screen) and DPMS, asked over
// `display`, which must outlive the source.
std::unique_ptr<DisplaySource> makeX11DisplaySource(x11::SharedDisplay& display);

// A capturer on a connection of its own (MIT-SHM, XDamage, XFixes, Composite); throws
// CaptureFailure when the display cannot be opened. Pictures leave out the windows `own`
// lists (which must outlive the capturer; none for no such windows).
std::unique_ptr<ScreenCapturer> makeX11ScreenCapturer(const OwnWindows* own);

}  // namespace tovo
