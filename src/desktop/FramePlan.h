#pragma once

#include "capture/FrameFilter.h"
#include "capture/Masks.h"
#include "desktop/WindowCatalog.h"

#include <cstdint>
#include <vector>

namespace tovo {

// The top-level windows a composed picture keeps under a filter (the native way of
// honouring `visible` and `hide`).
//
// Per window, the first rule that applies: a hidden app's window is left out; docks,
// panels and menu bars (status and main-menu levels) are kept; the desktop window is kept
// (on X11 it is the backdrop, wallpaper and icons in one); any other desktop chrome is kept
// only when the desktop shell is shown; any other window is kept when its app is shown.
struct NativeFilterPlan {
    std::vector<uint32_t> windows;  // top-level (frame) ids, each once

    static NativeFilterPlan make(const WindowCatalog& catalog, const FrameFilter& filter);
};

// The covering steps for `display` (the other way: the whole display, then every window
// of an app not shown painted over), back to front, in fractions of the display. System
// chrome and the desktop are left alone; a shown app's window is revealed again; a mask is
// labelled with its app's name, or not at all for a hidden app.
std::vector<MaskOp> maskOps(const WindowCatalog& catalog, uint32_t display, const FrameFilter& filter);

}  // namespace tovo
