#pragma once

#include "desktop/WindowSystem.h"

#include <memory>

namespace tovo {

// The compositor's windows: from sway's IPC where the compositor is sway (geometry, pid,
// focus and stacking), else from wlr-foreign-toplevel-management, which tells app ids,
// titles and states but neither where a window is nor its process: such windows have empty
// bounds and pid 0.
std::unique_ptr<WindowSystem> makeWlrootsWindowSystem();

}  // namespace tovo
