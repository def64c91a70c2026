#pragma once

#include "display/OwnLayers.h"
#include "overlay/AutomationOverlay.h"

#include <memory>

namespace tovo {

// The automation banner on wlr-layer-shell's overlay layer, with a Stop button (a Wayland
// client cannot watch the keyboard for Escape). It draws itself translucent and lists its
// pixels in `layers` (which must outlive it) while the compositor shows them, so that
// captures take it back out of their pictures.
std::unique_ptr<AutomationOverlay> makeWlrootsAutomationOverlay(OwnLayers& layers);

}  // namespace tovo
