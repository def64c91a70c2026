#pragma once

#include "display/DisplaySource.h"
#include "x11/X11Connection.h"

#include <memory>

namespace tovo {

// RandR monitors (else Xinerama screens, else the whole screen) and DPMS, asked over
// `display`, which must outlive the source.
std::unique_ptr<DisplaySource> makeX11DisplaySource(x11::SharedDisplay& display);

}  // namespace tovo
