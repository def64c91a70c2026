#pragma once

#include "capture/ScreenCapturer.h"
#include "display/OwnLayers.h"

#include <memory>

namespace tovo {

// A capturer on a Wayland connection of its own, through wlr-screencopy (shared memory;
// copies with damage for streams, so that a still screen costs nothing). Throws
// CaptureFailure when no compositor answers, MissingProtocol without wlr-screencopy.
// Pictures leave out the layers `own` lists (which must outlive the capturer; none for no
// such layers).
std::unique_ptr<ScreenCapturer> makeWlrootsScreenCapturer(const OwnLayers* own);

}  // namespace tovo
