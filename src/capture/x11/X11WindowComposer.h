#pragma once

#include "capture/ScreenCapturer.h"

#include <X11/Xlib.h>

#include <functional>
#include <vector>

namespace tovo {

// Builds pictures from the top-level windows' own pixels (Composite's window pixmaps,
// drawn with RENDER), so that a picture can leave windows out: the windows a filter keeps,
// or everything but this process's own windows under them.
//
// Once used, every top-level window of the screen stays redirected (automatically, so the
// screen looks the same) for this connection's life: windows then keep their covered parts,
// and a window mapped later has its pixels from the start.
//
// Threads: the owner's (one connection, one user).
class X11WindowComposer {
public:
    X11WindowComposer(Display* display, Window root);
    ~X11WindowComposer();
    X11WindowComposer(const X11WindowComposer&) = delete;
    X11WindowComposer& operator=(const X11WindowComposer&) = delete;

    // Checks the extensions and redirects the windows (the first time). Throws
    // CaptureFailure.
    void prepare();

    // The target the pictures are built in: a pixmap of rect's size, kept between calls.
    Pixmap target(const PixelRect& rect);

    // Copies what the screen shows in `rect` into the target.
    void copyScreen(const PixelRect& rect);
    // Paints the desktop's backdrop, then the top-level windows `wanted` accepts, back to
    // front, at their places relative to `rect`, into the target; only inside `clip`
    // (desktop pixels) when given. A window that is gone by then is skipped.
    //
    // The backdrop is the root's background as the screen shows it: the pixmap a wallpaper
    // tool published (_XROOTPMAP_ID or ESETROOT_PMAP_ID), else the root's solid colour, read
    // where no window covers it (the last colour seen when windows cover everything).
    void compose(const PixelRect& rect, const std::function<bool(Window)>& wanted, const std::vector<PixelRect>* clip);

private:
    void require();
    void redirectAll();
    struct Placed {
        Window window;
        XWindowAttributes attributes;
        std::vector<XRectangle> shape;  // a shaped window's parts, window-relative; else empty
    };
    // The viewable top-level windows, bottom to top.
    std::vector<Placed> topLevels();
    void paintBackdrop(const PixelRect& rect, const std::vector<Placed>& windows);
    bool paintRootPixmap(const PixelRect& rect);

    Display* display;
    Window root;
    bool checked = false;
    bool hasShape = false;
    bool redirected = false;
    Pixmap pixmap = 0;
    unsigned long picture = 0;  // the RENDER picture over `pixmap`
    int width = 0, height = 0;
    unsigned long backdropPixel = 0;  // the root's colour last seen, in the screen's visual
};

}  // namespace tovo
