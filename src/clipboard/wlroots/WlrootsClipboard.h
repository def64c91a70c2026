#pragma once

#include "clipboard/Pasteboard.h"

#include <memory>

namespace tovo {

// The clipboard through wlr-data-control, on a Wayland connection and thread of its own:
// it reads and sets the selection without a window or focus of this process.
std::unique_ptr<Pasteboard> makeWlrootsClipboard();

}  // namespace tovo
