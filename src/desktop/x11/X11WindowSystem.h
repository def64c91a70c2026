#pragma once

#include "desktop/WindowSystem.h"
#include "x11/X11Connection.h"

#include <memory>

namespace tovo {

// The window system of the X display: EWMH lists and properties over `display`, which
// must outlive it.
std::unique_ptr<WindowSystem> makeX11WindowSystem(x11::SharedDisplay& display);

}  // namespace tovo
