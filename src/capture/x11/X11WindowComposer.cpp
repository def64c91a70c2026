#include "capture/x11/X11WindowComposer.h"

#include "x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xrender.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tovo {

X11WindowComposer::X11WindowComposer(Display* display, Window root) : display(display), root(root) {}

X11WindowComposer::~X11WindowComposer() {
    // The connection closes right after; freeing here keeps a long-lived connection tidy.
    if (picture) XRenderFreePicture(display, picture);
    if (pixmap) XFreePixmap(display, pixmap);
}

void X11WindowComposer::require() {
    if (checked) return;
    int eventBase, errorBase, major = 0, minor = 2;
    if (!XCompositeQueryExtension(display, &eventBase, &errorBase) ||
        !XCompositeQueryVersion(display, &major, &minor) || (major == 0 && minor < 2)) {
        throw CaptureFailure("the X server has no Composite 0.2 extension");
    }
    if (!XRenderQueryExtension(display, &eventBase, &errorBase))
        throw CaptureFailure("the X server has no RENDER extension");
    hasShape = XShapeQueryExtension(display, &eventBase, &errorBase) == True;
    checked = true;
}

void X11WindowComposer::prepare() {
    require();
    redirectAll();
}

void X11WindowComposer::redirectAll() {
    if (redirected) return;
    XCompositeRedirectSubwindows(display, root, CompositeRedirectAutomatic);
    XSync(display, False);
    redirected = true;
    // Covered areas of existing windows are painted by their clients on the exposure that
    // redirection causes; give them a moment once.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

Pixmap X11WindowComposer::target(const PixelRect& rect) {
    if (pixmap && width == rect.width && height == rect.height) return pixmap;
    if (picture) XRenderFreePicture(display, picture);
    if (pixmap) XFreePixmap(display, pixmap);
    const int screen = DefaultScreen(display);
    pixmap = XCreatePixmap(display, root, static_cast<unsigned>(rect.width), static_cast<unsigned>(rect.height),
                           static_cast<unsigned>(DefaultDepth(display, screen)));
    XRenderPictFormat* format = XRenderFindVisualFormat(display, DefaultVisual(display, screen));
    picture = XRenderCreatePicture(display, pixmap, format, 0, nullptr);
    width = rect.width;
    height = rect.height;
    return pixmap;
}

void X11WindowComposer::copyScreen(const PixelRect& rect) {
    target(rect);
    XGCValues values;
    values.subwindow_mode = IncludeInferiors;
    GC gc = XCreateGC(display, pixmap, GCSubwindowMode, &values);
    XCopyArea(display, root, pixmap, gc, rect.x, rect.y, static_cast<unsigned>(rect.width),
              static_cast<unsigned>(rect.height), 0, 0);
    XFreeGC(display, gc);
}

std::vector<X11WindowComposer::Placed> X11WindowComposer::topLevels() {
    std::vector<Placed> out;
    Window rootReturn, parent;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count)) return out;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(display, children[i], &a)) continue;  // gone since the listing
        if (a.map_state != IsViewable || a.c_class != InputOutput) continue;
        Placed placed{children[i], a, {}};
        Bool bounding = False, clip = False;
        int bx, by, cx, cy;
        unsigned bw, bh, cw, ch;
        if (hasShape &&
            XShapeQueryExtents(display, children[i], &bounding, &bx, &by, &bw, &bh, &clip, &cx, &cy, &cw, &ch) &&
            bounding) {
            int count = 0, ordering = 0;
            if (XRectangle* parts = XShapeGetRectangles(display, children[i], ShapeBounding, &count, &ordering)) {
                placed.shape.assign(parts, parts + count);
                XFree(parts);
            }
            if (placed.shape.empty()) continue;  // shaped to nothing: covers nothing
        }
        out.push_back(std::move(placed));
    }
    if (children) XFree(children);
    return out;
}

bool X11WindowComposer::paintRootPixmap(const PixelRect& rect) {
    for (const char* name : {"_XROOTPMAP_ID", "ESETROOT_PMAP_ID"}) {
        Atom property = XInternAtom(display, name, True);
        if (property == None) continue;
        Atom type;
        int itemFormat;
        unsigned long items, after;
        unsigned char* data = nullptr;
        Pixmap background = None;
        if (XGetWindowProperty(display, root, property, 0, 1, False, XA_PIXMAP, &type, &itemFormat, &items, &after,
                               &data) == Success &&
            data && type == XA_PIXMAP && itemFormat == 32 && items == 1) {
            background = static_cast<Pixmap>(*reinterpret_cast<unsigned long*>(data));
        }
        if (data) XFree(data);
        if (background == None) continue;
        // A stale id (its owner has gone) fails here and is passed over.
        Window unusedRoot;
        int x, y;
        unsigned w, h, border, depth;
        x11::takeLastError();
        if (!XGetGeometry(display, background, &unusedRoot, &x, &y, &w, &h, &border, &depth) || x11::takeLastError())
            continue;
        XRenderPictFormat* format =
            depth == 32 ? XRenderFindStandardFormat(display, PictStandardARGB32)
            : depth == static_cast<unsigned>(DefaultDepth(display, DefaultScreen(display)))
                ? XRenderFindVisualFormat(display, DefaultVisual(display, DefaultScreen(display)))
                : nullptr;
        if (!format) continue;
        // Tiled from the root's origin, as the server paints a background pixmap.
        XRenderPictureAttributes pa;
        pa.repeat = RepeatNormal;
        Picture source = XRenderCreatePicture(display, background, format, CPRepeat, &pa);
        XRenderComposite(display, PictOpSrc, source, None, picture, rect.x, rect.y, 0, 0, 0, 0,
                         static_cast<unsigned>(rect.width), static_cast<unsigned>(rect.height));
        XRenderFreePicture(display, source);
        XSync(display, False);
        if (x11::takeLastError() == 0) return true;
    }
    return false;
}

void X11WindowComposer::paintBackdrop(const PixelRect& rect, const std::vector<Placed>& windows) {
    if (paintRootPixmap(rect)) return;
    // The root's own colour, read at a point of the screen no window covers.
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    auto covered = [&](int x, int y) {
        for (const auto& [window, a, shape] : windows) {
            const int w = a.width + 2 * a.border_width, h = a.height + 2 * a.border_width;
            if (x < a.x || y < a.y || x >= a.x + w || y >= a.y + h) continue;
            if (shape.empty()) return true;
            // Shape rectangles are relative to the window's inside corner.
            const int px = x - a.x - a.border_width, py = y - a.y - a.border_width;
            for (const XRectangle& r : shape) {
                if (px >= r.x && py >= r.y && px < r.x + r.width && py < r.y + r.height) return true;
            }
        }
        return false;
    };
    constexpr int steps = 16;
    bool found = false;
    for (int row = 0; row <= steps && !found; ++row) {
        for (int column = 0; column <= steps && !found; ++column) {
            const int x = std::min(screenWidth - 1, column * screenWidth / steps);
            const int y = std::min(screenHeight - 1, row * screenHeight / steps);
            if (covered(x, y)) continue;
            if (XImage* pixel = XGetImage(display, root, x, y, 1, 1, AllPlanes, ZPixmap)) {
                backdropPixel = XGetPixel(pixel, 0, 0);
                XDestroyImage(pixel);
                found = true;
            }
        }
    }
    const Visual* visual = DefaultVisual(display, DefaultScreen(display));
    auto channel = [&](unsigned long mask) -> unsigned short {
        if (mask == 0) return 0;
        const unsigned long value = (backdropPixel & mask) / (mask & ~(mask << 1));
        const unsigned long top = mask / (mask & ~(mask << 1));
        return static_cast<unsigned short>(value * 0xFFFF / top);
    };
    XRenderColor colour{channel(visual->red_mask), channel(visual->green_mask), channel(visual->blue_mask), 0xFFFF};
    XRenderFillRectangle(display, PictOpSrc, picture, &colour, 0, 0, static_cast<unsigned>(rect.width),
                         static_cast<unsigned>(rect.height));
}

void X11WindowComposer::compose(const PixelRect& rect, const std::function<bool(Window)>& wanted,
                                const std::vector<PixelRect>* clip) {
    prepare();
    target(rect);

    if (clip) {
        std::vector<XRectangle> rects;
        for (const auto& c : *clip) {
            rects.push_back({static_cast<short>(c.x - rect.x), static_cast<short>(c.y - rect.y),
                             static_cast<unsigned short>(c.width), static_cast<unsigned short>(c.height)});
        }
        XRenderSetPictureClipRectangles(display, picture, 0, 0, rects.data(), static_cast<int>(rects.size()));
    }
    x11::takeLastError();
    const std::vector<Placed> windows = topLevels();
    paintBackdrop(rect, windows);
    // Bottom to top: later windows are drawn over earlier ones.
    for (const auto& [child, a, shape] : windows) {
        if (!wanted(child)) continue;
        const int w = a.width + 2 * a.border_width, h = a.height + 2 * a.border_width;
        if (a.x >= rect.x + rect.width || a.y >= rect.y + rect.height || a.x + w <= rect.x || a.y + h <= rect.y)
            continue;
        XRenderPictFormat* format = XRenderFindVisualFormat(display, a.visual);
        if (!format) continue;
        Pixmap own = XCompositeNameWindowPixmap(display, child);
        XRenderPictureAttributes pa;
        pa.subwindow_mode = IncludeInferiors;
        Picture source = XRenderCreatePicture(display, own, format, CPSubwindowMode, &pa);
        const bool alpha = format->type == PictTypeDirect && format->direct.alphaMask != 0;
        XRenderComposite(display, alpha ? PictOpOver : PictOpSrc, source, None, picture, 0, 0, 0, 0, a.x - rect.x,
                         a.y - rect.y, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XRenderFreePicture(display, source);
        XFreePixmap(display, own);
    }
    if (clip) {
        XRenderPictureAttributes none;
        none.clip_mask = None;
        XRenderChangePicture(display, picture, CPClipMask, &none);
    }
    // A window that vanished midway leaves errors behind; they only mean it is skipped.
    XSync(display, False);
    x11::takeLastError();
}

}  // namespace tovo
