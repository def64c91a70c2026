// The automation banner on X11: per display five override-redirect windows, the four sides
// of a 6-pixel orange border and the capsule (shaped to its rounded ends with the X Shape
// extension), all letting pointer input through, so that everything else of the screen stays
// visible and clickable. Separate windows keep each repaint's damage to the banner's own
// pixels, so that captures can tell it from a change of the screen. It breathes through its
// opacity where a compositing manager runs, through its colour otherwise.
#include "base/Log.h"
#include "base/Mutex.h"
#include "overlay/BannerLook.h"
#include "overlay/BannerRequests.h"
#include "overlay/x11/X11Overlay.h"
#include "x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/shape.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <pango/pangocairo.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace tovo {
namespace {

using Steady = std::chrono::steady_clock;

using BannerLook::borderWidth;
using BannerLook::capsuleTop;
using BannerLook::orange;
constexpr double breathSeconds = 1.6;
constexpr double dimmest = 0.55;
constexpr auto tick = std::chrono::milliseconds(125);
constexpr auto screenCheck = std::chrono::seconds(1);

struct Capsule {
    int x = 0, y = 0, width = 0, height = 0;
    int textWidth = 0, textHeight = 0;
};

struct Banner {
    PixelRect screen;
    Capsule capsule;
    // The top, bottom, left and right sides, then the capsule; each with its place in
    // desktop pixels.
    std::vector<std::pair<Window, PixelRect>> windows;
    static constexpr size_t capsuleIndex = 4;
};

class X11AutomationOverlay final : public AutomationOverlay {
public:
    X11AutomationOverlay(std::function<std::vector<PixelRect>()> screens, OwnWindows& own)
        : screens(std::move(screens)), own(own) {
        thread = std::thread([this] { run(); });
    }

    ~X11AutomationOverlay() override {
        requests.end();
        thread.join();
    }

    void show(const std::string& text) override { requests.want(text); }
    void hide() override { requests.want(std::nullopt); }

private:
    // The overlay's thread: owns the X connection and every window.
    void run() {
        std::optional<std::string> text;
        auto nextCheck = Steady::now();
        const auto started = Steady::now();
        for (;;) {
            const auto asked = requests.take();
            if (asked.ending) break;
            if (asked.changed) {
                text = asked.text;
                drop();  // redrawn below with the new text, or gone
            }
            if (display && broken) {
                log("automation: the banner lost the X display");
                closeDisplay();
            }
            if (text && banners.empty() && Steady::now() >= nextCheck) {
                build(*text);
                nextCheck = Steady::now() + screenCheck;
            } else if (text && Steady::now() >= nextCheck) {
                if (screens() != shownScreens) {
                    drop();
                    build(*text);
                } else {
                    for (auto& banner : banners) {
                        for (const auto& [window, place] : banner.windows) XRaiseWindow(display, window);
                    }
                }
                nextCheck = Steady::now() + screenCheck;
            }
            if (!banners.empty()) breathe(std::chrono::duration<double>(Steady::now() - started).count(), *text);
            if (!text && display) closeDisplay();

            pollfd fds[2] = {{requests.wakeFd(), POLLIN, 0}, {display ? ConnectionNumber(display) : -1, POLLIN, 0}};
            int timeout = text ? static_cast<int>(tick.count()) : -1;
            ::poll(fds, display ? 2 : 1, timeout);
            if (fds[0].revents & POLLIN) requests.drainWake();
            if (display && (fds[1].revents & (POLLHUP | POLLERR))) {
                XNoOp(display);
                XSync(display, False);
            }
            if (display && !broken) {
                while (XPending(display) > 0) {
                    XEvent event;
                    XNextEvent(display, &event);
                    if (event.type == Expose && event.xexpose.count == 0) {
                        for (auto& banner : banners) {
                            for (const auto& [window, place] : banner.windows) {
                                if (window == event.xexpose.window) paint(banner, *text, level);
                            }
                        }
                    }
                }
            }
        }
        drop();
        closeDisplay();
    }

    bool openDisplay() {
        if (display) return true;
        broken = false;
        display = x11::openDisplay(&broken);
        if (!display) return false;
        int eventBase, errorBase;
        if (!XShapeQueryExtension(display, &eventBase, &errorBase)) {
            log("automation: the X server has no Shape extension; no banner");
            closeDisplay();
            return false;
        }
        if (!saidNoComposite && !XCompositeQueryExtension(display, &eventBase, &errorBase)) {
            // Pictures keep the banner out by composing the windows under it.
            saidNoComposite = true;
            log("automation: the X server has no Composite extension; the banner shows in pictures and streams");
        }
        const int screen = DefaultScreen(display);
        std::string name = "_NET_WM_CM_S" + std::to_string(screen);
        compositorSelection = XInternAtom(display, name.c_str(), False);
        opacityAtom = XInternAtom(display, "_NET_WM_WINDOW_OPACITY", False);
        return true;
    }

    void closeDisplay() {
        if (!display) return;
        for (auto& banner : banners) {
            for (const auto& [window, place] : banner.windows) own.remove(static_cast<uint32_t>(window));
        }
        banners.clear();
        XCloseDisplay(display);
        display = nullptr;
    }

    void drop() {
        for (auto& banner : banners) {
            for (const auto& [window, place] : banner.windows) {
                own.remove(static_cast<uint32_t>(window));
                if (display && !broken) XDestroyWindow(display, window);
            }
        }
        banners.clear();
        if (display && !broken) XFlush(display);
    }

    // The top of the work area on `screen`: below panels at its top edge.
    int workAreaTop(const PixelRect& screen) {
        Atom workarea = XInternAtom(display, "_NET_WORKAREA", True);
        if (workarea == None) return 0;
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        int offset = 0;
        if (XGetWindowProperty(display, DefaultRootWindow(display), workarea, 0, 4, False, XA_CARDINAL, &type, &format,
                               &count, &after, &data) == Success &&
            data && format == 32 && count >= 4) {
            auto* values = reinterpret_cast<long*>(data);
            long top = values[1];
            if (top > screen.y && top < screen.y + screen.height / 2) offset = static_cast<int>(top - screen.y);
        }
        if (data) XFree(data);
        return std::max(0, offset);
    }

    Capsule measure(const PixelRect& screen, const std::string& text) {
        cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
        cairo_t* cr = cairo_create(scratch);
        PangoLayout* layout = BannerLook::layout(cr, text);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout, &w, &h);
        g_object_unref(layout);
        cairo_destroy(cr);
        cairo_surface_destroy(scratch);
        Capsule capsule;
        capsule.textWidth = w, capsule.textHeight = h;
        capsule.width = std::min(w + 28, std::max(1, screen.width - 2 * borderWidth));
        capsule.height = h + 12;
        capsule.x = (screen.width - capsule.width) / 2;
        capsule.y = workAreaTop(screen) + capsuleTop;
        return capsule;
    }

    // The banner's windows' places: the sides of the border, then the capsule.
    static std::vector<PixelRect> places(const Banner& b) {
        const PixelRect& s = b.screen;
        const int w = s.width, h = s.height, t = borderWidth;
        return {{s.x, s.y, w, t},
                {s.x, s.y + h - t, w, t},
                {s.x, s.y + t, t, h - 2 * t},
                {s.x + w - t, s.y + t, t, h - 2 * t},
                {s.x + b.capsule.x, s.y + b.capsule.y, b.capsule.width, b.capsule.height}};
    }

    void build(const std::string& text) {
        if (!openDisplay()) return;
        shownScreens = screens();
        const int screenNumber = DefaultScreen(display);
        Window root = DefaultRootWindow(display);
        for (const PixelRect& screen : shownScreens) {
            if (screen.width <= 2 * borderWidth || screen.height <= 2 * borderWidth) continue;
            Banner banner;
            banner.screen = screen;
            banner.capsule = measure(screen, text);
            for (const PixelRect& place : places(banner)) {
                XSetWindowAttributes attributes{};
                attributes.override_redirect = True;
                attributes.background_pixel = BlackPixel(display, screenNumber);
                attributes.event_mask = ExposureMask;
                Window window =
                    XCreateWindow(display, root, place.x, place.y, static_cast<unsigned>(place.width),
                                  static_cast<unsigned>(place.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
                XClassHint hint{const_cast<char*>("tovo-control"), const_cast<char*>("Tovo Control")};
                XSetClassHint(display, window, &hint);
                XStoreName(display, window, "Tovo Control automation");
                long pid = ::getpid();
                XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                                PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
                // Pointer input passes through to the windows below.
                XShapeCombineRectangles(display, window, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
                own.set(static_cast<uint32_t>(window), {place});
                banner.windows.emplace_back(window, place);
            }
            shapeCapsule(banner);
            for (const auto& [window, place] : banner.windows) XMapRaised(display, window);
            banners.push_back(banner);
        }
        XFlush(display);
    }

    // The capsule window's shape: its rounded ends.
    void shapeCapsule(const Banner& banner) {
        const auto& [window, place] = banner.windows[Banner::capsuleIndex];
        const auto w = static_cast<unsigned>(place.width), h = static_cast<unsigned>(place.height);
        Pixmap mask = XCreatePixmap(display, window, w, h, 1);
        cairo_surface_t* surface = cairo_xlib_surface_create_for_bitmap(display, mask, DefaultScreenOfDisplay(display),
                                                                        static_cast<int>(w), static_cast<int>(h));
        cairo_t* cr = cairo_create(surface);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, 1, 1, 1, 1);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        BannerLook::capsulePath(cr, 0, 0, place.width, place.height);
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        XShapeCombineMask(display, window, ShapeBounding, 0, 0, mask, ShapeSet);
        XFreePixmap(display, mask);
    }

    bool compositing() { return XGetSelectionOwner(display, compositorSelection) != None; }

    // One step of the breathing: opacity from 1.0 to 0.55 and back over 1.6 s each way,
    // eased in and out.
    void breathe(double seconds, const std::string& text) {
        double phase = std::fmod(seconds, 2 * breathSeconds) / breathSeconds;  // 0…2
        double k = phase <= 1 ? phase : 2 - phase;
        double eased = (1 - std::cos(k * M_PI)) / 2;
        double value = 1.0 - (1.0 - dimmest) * eased;
        if (compositing()) {
            unsigned long opacity = static_cast<unsigned long>(value * 0xFFFFFFFFul);
            for (auto& banner : banners) {
                for (const auto& [window, place] : banner.windows) {
                    XChangeProperty(display, window, opacityAtom, XA_CARDINAL, 32, PropModeReplace,
                                    reinterpret_cast<unsigned char*>(&opacity), 1);
                }
            }
            if (level != 1.0) {
                level = 1.0;
                for (auto& banner : banners) paint(banner, text, level);
            }
        } else {
            // Without a compositor the border dims toward black instead.
            level = std::round(value * 20) / 20;  // few distinct colours, fewer repaints
            if (level != paintedLevel) {
                for (auto& banner : banners) paint(banner, text, level);
            }
        }
        XFlush(display);
    }

    void paint(const Banner& banner, const std::string& text, double brightness) {
        paintedLevel = brightness;
        Visual* visual = DefaultVisual(display, DefaultScreen(display));
        for (size_t i = 0; i < banner.windows.size(); ++i) {
            const auto& [window, place] = banner.windows[i];
            cairo_surface_t* surface = cairo_xlib_surface_create(display, window, visual, place.width, place.height);
            cairo_t* cr = cairo_create(surface);
            if (i != Banner::capsuleIndex) {
                cairo_set_source_rgb(cr, orange[0] * brightness, orange[1] * brightness, orange[2] * brightness);
                cairo_paint(cr);
            } else {
                // The capsule keeps its colour, so that its words stay easy to read.
                cairo_set_source_rgb(cr, orange[0] * BannerLook::capsuleShade, orange[1] * BannerLook::capsuleShade,
                                     orange[2] * BannerLook::capsuleShade);
                BannerLook::capsulePath(cr, 0, 0, place.width, place.height);
                cairo_fill(cr);
                PangoLayout* layout = BannerLook::layout(cr, text);
                cairo_set_source_rgb(cr, 1, 1, 1);
                cairo_move_to(cr, 14, 6);
                pango_cairo_show_layout(cr, layout);
                g_object_unref(layout);
            }
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
        }
    }

    const std::function<std::vector<PixelRect>()> screens;
    OwnWindows& own;
    bool saidNoComposite = false;  // said once per service run, however often the display returns
    BannerRequests requests;
    std::thread thread;

    // The overlay thread's own, never touched elsewhere.
    Display* display = nullptr;
    bool broken = false;
    Atom compositorSelection = None;
    Atom opacityAtom = None;
    std::vector<Banner> banners;
    std::vector<PixelRect> shownScreens;
    double level = 1.0;
    double paintedLevel = -1;
};

}  // namespace

std::unique_ptr<AutomationOverlay> makeX11AutomationOverlay(std::function<std::vector<PixelRect>()> screens,
                                                            OwnWindows& own) {
    return std::make_unique<X11AutomationOverlay>(std::move(screens), own);
}

}  // namespace tovo
