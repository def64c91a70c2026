#pragma once

#include "cursor/PointerTracker.h"

#include <memory>

namespace tovo {
namespace x11 {
class SharedDisplay;
}

// The X pointer: XQueryPointer for the position, XFixesGetCursorImage for the shape (keyed
// by its cursor serial, encoded as PNG once per serial). `display` must outlive the probe.
std::unique_ptr<PointerProbe> makeX11PointerProbe(x11::SharedDisplay& display);

}  // namespace tovo
