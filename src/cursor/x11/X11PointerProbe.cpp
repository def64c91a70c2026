#include "cursor/x11/X11PointerProbe.h"

#include "base/Mutex.h"
#include "image/PNG.h"
#include "x11/X11Connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <mutex>

namespace tovo {
namespace {

class X11PointerProbe final : public PointerProbe {
public:
    explicit X11PointerProbe(x11::SharedDisplay& display) : display(display) {}

    std::optional<Point> location() override {
        std::optional<Point> at;
        display.with([&](Display* d) {
            Window root, child;
            int rootX, rootY, winX, winY;
            unsigned int mask;
            if (XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
                at = Point{static_cast<double>(rootX), static_cast<double>(rootY)};
            }
        });
        return at;
    }

    std::optional<SystemCursorImage> cursorImage() override {
        XFixesCursorImage* image = nullptr;
        bool ok = display.with([&](Display* d) {
            int event, error;
            if (XFixesQueryExtension(d, &event, &error)) image = XFixesGetCursorImage(d);
        });
        if (!ok || !image) {
            if (image) XFree(image);
            return std::nullopt;
        }
        std::optional<SystemCursorImage> result;
        {
            MutexLock guard(lock);
            if (cached && cached->key == image->cursor_serial) {
                result = cached;
            } else if (image->width > 0 && image->height > 0) {
                // ARGB in longs, premultiplied; PNG wants straight RGBA.
                std::vector<uint8_t> rgba(static_cast<size_t>(image->width) * image->height * 4);
                for (size_t i = 0; i < static_cast<size_t>(image->width) * image->height; ++i) {
                    auto argb = static_cast<uint32_t>(image->pixels[i]);
                    uint8_t a = argb >> 24;
                    auto straight = [a](uint32_t c) {
                        return static_cast<uint8_t>(a ? std::min<uint32_t>(255, c * 255 / a) : 0);
                    };
                    rgba[i * 4] = straight((argb >> 16) & 0xFF);
                    rgba[i * 4 + 1] = straight((argb >> 8) & 0xFF);
                    rgba[i * 4 + 2] = straight(argb & 0xFF);
                    rgba[i * 4 + 3] = a;
                }
                std::string png = PNG::encodeRGBA(rgba.data(), image->width, image->height);
                if (!png.empty()) {
                    cached = SystemCursorImage{image->cursor_serial,
                                               png,
                                               static_cast<double>(image->xhot),
                                               static_cast<double>(image->yhot),
                                               static_cast<double>(image->width),
                                               static_cast<double>(image->height)};
                    result = cached;
                }
            }
        }
        XFree(image);
        return result;
    }

private:
    x11::SharedDisplay& display;
    Mutex lock;  // guards cached
    std::optional<SystemCursorImage> cached TOVO_GUARDED_BY(lock);
};

}  // namespace

std::unique_ptr<PointerProbe> makeX11PointerProbe(x11::SharedDisplay& display) {
    return std::make_unique<X11PointerProbe>(display);
}

}  // namespace tovo
