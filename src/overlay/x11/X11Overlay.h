#pragma once

#include "display/OwnWindows.h"
#include "display/PixelRect.h"
#include "input/OwnKeyPresses.h"
#include "overlay/AutomationOverlay.h"
#include "overlay/EscapeTap.h"

#include <functional>
#include <memory>
#include <vector>

namespace tovo {

// The banner as override-redirect windows, one per display, shaped to the border and the
// capsule, drawn with Cairo and Pango on a thread and X connection of its own. `screens`
// gives the displays' rectangles (desktop pixels; called on the overlay's thread); the
// windows are listed in `own` while they exist. Both must outlive the overlay.
std::unique_ptr<AutomationOverlay> makeX11AutomationOverlay(std::function<std::vector<PixelRect>()> screens,
                                                            OwnWindows& own);

// Escape taken with a passive grab on the root window (no Shift, Control, Alt or Super
// held); presses noted in `own` are passed on to the application instead. `own` must outlive
// the tap.
std::unique_ptr<EscapeTap> makeX11EscapeTap(OwnKeyPresses& own);

}  // namespace tovo
