#pragma once

#include "desktop/WindowSystem.h"
#include "x11/X11Connection.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace tovo {

// The window system of the X display: EWMH lists and properties over `display`, which
// must outlive it. The windows of the app `supervisorPid` (when the service has one) that
// carry its mark are the service's own and in no list.
std::unique_ptr<WindowSystem> makeX11WindowSystem(x11::SharedDisplay& display,
                                                  std::optional<int32_t> supervisorPid = std::nullopt);

}  // namespace tovo
