#include "capture/x11/X11WindowComposer.h"

#include "x11/X11Connection.h"

#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xrender.h>

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
    if (!XRenderQueryExtension(display, &eventBase, &errorBase)) throw CaptureFailure("the X server has no RENDER extension");
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
    XRenderColor black{0, 0, 0, 0xFFFF};
    XRenderFillRectangle(display, PictOpSrc, picture, &black, 0, 0, static_cast<unsigned>(rect.width),
                         static_cast<unsigned>(rect.height));

    Window rootReturn, parent;
    Window* children = nullptr;
    unsigned count = 0;
    x11::takeLastError();
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count)) {
        // Bottom to top: later windows are drawn over earlier ones.
        for (unsigned i = 0; i < count; ++i) {
            Window child = children[i];
            if (!wanted(child)) continue;
            XWindowAttributes a;
            if (!XGetWindowAttributes(display, child, &a)) continue;  // gone since the listing
            if (a.map_state != IsViewable || a.c_class != InputOutput) continue;
            const int w = a.width + 2 * a.border_width, h = a.height + 2 * a.border_width;
            if (a.x >= rect.x + rect.width || a.y >= rect.y + rect.height || a.x + w <= rect.x || a.y + h <= rect.y) continue;
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
        if (children) XFree(children);
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
