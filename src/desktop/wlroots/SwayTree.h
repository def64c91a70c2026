#pragma once

#include "desktop/WindowSystem.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

namespace tovo {

// The windows of sway's layout tree (its IPC's GET_TREE answer), front to back: on each
// workspace the floating windows before the tiled ones, each group in focus order (most
// recently focused first); visible workspaces before hidden ones and the scratchpad.
// Bounds are the container's rectangle (with border and title bar), content the
// application's own surface. Pure.
struct SwayWindows {
    std::vector<WindowRecord> windows;
    std::optional<int32_t> focusedPid;
};
SwayWindows swayWindows(const nlohmann::json& tree);

}  // namespace tovo
