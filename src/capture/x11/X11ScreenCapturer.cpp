// ScreenCapturer on X11: MIT-SHM reads of the root window (XGetImage when shared memory is
// not possible, as with a remote display), the pointer from XFixes, changes from XDamage,
// and MIT-SCREEN-SAVER suspension for streams.
#include "capture/CursorOverlay.h"
#include "capture/x11/X11Capture.h"
#include "capture/x11/X11WindowComposer.h"
#include "x11/X11Connection.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/scrnsaver.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace tovo {
namespace {

bool intersects(const PixelRect& a, int x, int y, int width, int height) {
    return a.x < x + width && x < a.x + a.width && a.y < y + height && y < a.y + a.height;
}

class X11ScreenCapturer final : public ScreenCapturer {
public:
    explicit X11ScreenCapturer(const OwnWindows* own) : own(own) {
        display = x11::openDisplay(&broken);
        if (!display) throw CaptureFailure("cannot open the X display");
        root = DefaultRootWindow(display);
        int major, minor;
        Bool pixmaps;
        useShm = XShmQueryVersion(display, &major, &minor, &pixmaps) == True;
        int eventBase, errorBase;
        hasFixes = XFixesQueryExtension(display, &eventBase, &errorBase) == True;
        canCompose = XCompositeQueryExtension(display, &eventBase, &errorBase) == True;
        if (hasFixes) {
            int fixesMajor = 0, fixesMinor = 0;
            XFixesQueryVersion(display, &fixesMajor, &fixesMinor);
        }
    }

    ~X11ScreenCapturer() override {
        composer.reset();
        releaseShm();
        if (image) XDestroyImage(image);
        if (windowImage) XDestroyImage(windowImage);
        if (damage && !broken) XDamageDestroy(display, damage);
        if (markDamage && !broken) XDamageDestroy(display, markDamage);
        XCloseDisplay(display);
    }

    PixelView capture(const PixelRect& rect, bool withCursor) override {
        checkAlive();
        partialValid = false;  // the shared image is about to hold something else
        if (rect.width <= 0 || rect.height <= 0) throw CaptureFailure("empty capture rectangle");
        std::vector<OwnWindows::Window> mine = ownWindowsIn(rect);
        Drawable source = root;
        PixelRect from = rect;
        if (!mine.empty()) {
            // This process's own windows are on screen: rebuild what lies under them from the
            // windows below, so that no picture shows them.
            std::vector<PixelRect> covered;
            for (const auto& window : mine) covered.insert(covered.end(), window.covers.begin(), window.covers.end());
            std::set<uint32_t> ids;
            for (const auto& window : mine) ids.insert(window.id);
            try {
                composing().prepare();
                composer->copyScreen(rect);
                composer->compose(
                    rect, [&](Window w) { return ids.count(static_cast<uint32_t>(w)) == 0; }, &covered);
                source = composer->target(rect);
                from = {0, 0, rect.width, rect.height};
            } catch (const CaptureFailure&) {
                source = root;  // without Composite the banner cannot be kept out
            }
        }
        return read(source, from, rect, withCursor);
    }

    PixelView captureWindows(const PixelRect& rect, const std::vector<uint32_t>& windows, bool withCursor) override {
        checkAlive();
        partialValid = false;
        if (rect.width <= 0 || rect.height <= 0) throw CaptureFailure("empty capture rectangle");
        std::set<uint32_t> wanted(windows.begin(), windows.end());
        for (const auto& window : ownWindowsIn(rect)) wanted.erase(window.id);
        composing().compose(
            rect, [&](Window w) { return wanted.count(static_cast<uint32_t>(w)) > 0; }, nullptr);
        return read(composer->target(rect), {0, 0, rect.width, rect.height}, rect, withCursor);
    }

    // Reads `from` of `source` (the root window, or a composed picture of `rect`).
    PixelView read(Drawable source, const PixelRect& from, const PixelRect& rect, bool withCursor) {
        std::optional<PointerQuestion> question = withCursor ? askPointer() : std::nullopt;
        XImage* got = useShm ? readShared(source, from) : nullptr;
        if (!got) got = readPlain(source, from);
        checkAlive();
        if (source != root && got->red_mask == 0) {
            // An image of a pixmap carries no colour masks; the composed pixmap has the
            // screen's visual.
            const Visual* visual = DefaultVisual(display, DefaultScreen(display));
            got->red_mask = visual->red_mask;
            got->green_mask = visual->green_mask;
            got->blue_mask = visual->blue_mask;
        }
        if (got->bits_per_pixel != 32 || got->red_mask != 0xFF0000 || got->green_mask != 0xFF00 ||
            got->blue_mask != 0xFF || got->byte_order != LSBFirst) {
            throw CaptureFailure("unsupported pixel format (" + std::to_string(got->bits_per_pixel) +
                                 " bits per pixel)");
        }
        auto* pixels = reinterpret_cast<uint8_t*>(got->data);
        if (auto pointer = pointerAnswer(question, rect)) {
            compositeCursor(pixels, rect.width, rect.height, got->bytes_per_line, *pointer);
        }
        return {pixels, rect.width, rect.height, got->bytes_per_line};
    }

    PixelView captureWindow(uint32_t window) override {
        checkAlive();
        int eventBase, errorBase;
        if (!XCompositeQueryExtension(display, &eventBase, &errorBase)) {
            throw CaptureFailure("the X server has no Composite extension");
        }
        XWindowAttributes attributes;
        x11::takeLastError();
        if (!XGetWindowAttributes(display, window, &attributes)) throw CaptureFailure("the window is gone");
        if (attributes.map_state != IsViewable) throw CaptureFailure("the window is not mapped");
        if (redirected.insert(window).second) {
            // Redirection gives the window storage of its own; the client repaints into it
            // on the exposure that follows, so give it a moment the first time.
            XCompositeRedirectWindow(display, window, CompositeRedirectAutomatic);
            XSync(display, False);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        Pixmap pixmap = XCompositeNameWindowPixmap(display, window);
        XSync(display, False);
        if (x11::takeLastError() != 0) {
            if (pixmap) XFreePixmap(display, pixmap);
            throw CaptureFailure("the window has no picture");
        }
        if (windowImage) XDestroyImage(windowImage);
        int width = attributes.width + 2 * attributes.border_width;
        int height = attributes.height + 2 * attributes.border_width;
        windowImage = XGetImage(display, pixmap, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                                AllPlanes, ZPixmap);
        XFreePixmap(display, pixmap);
        checkAlive();
        if (!windowImage) throw CaptureFailure("the window's picture could not be read");
        // An image of a pixmap carries no colour masks; the window's visual has them.
        const Visual* visual = attributes.visual;
        if (windowImage->bits_per_pixel != 32 || windowImage->byte_order != LSBFirst || visual->red_mask != 0xFF0000 ||
            visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF) {
            throw CaptureFailure("unsupported window pixel format");
        }
        return {reinterpret_cast<uint8_t*>(windowImage->data), width, height, windowImage->bytes_per_line};
    }

    std::optional<Clock::time_point> waitForChanges(const PixelRect& rect, Clock::time_point until) override {
        checkAlive();
        if (!damage) {
            int eventBase, errorBase;
            if (!XDamageQueryExtension(display, &eventBase, &errorBase)) {
                throw CaptureFailure("the X server has no DAMAGE extension");
            }
            damageEvent = eventBase + XDamageNotify;
            // Rectangle by rectangle, so that this process's own windows repainting themselves
            // can be told from a change (a bounding box would join the banner's strips into
            // the whole screen).
            damage = XDamageCreate(display, root, XDamageReportDeltaRectangles);
            // The pointer is no damage: its shape changes come as events, its moves are asked
            // for at each tick (see pointerMoved).
            if (hasFixes) watchCursorShape();
            // The server reports what was damaged before the object existed at once; the first
            // picture shows all of it, so that report must not count as a change after it.
            XSync(display, False);
            XDamageSubtract(display, damage, None, None);
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
            }
            firstChange = Clock::now();  // nothing is known yet: the first picture counts as new
        }
        const int fd = ConnectionNumber(display);
        for (;;) {
            std::optional<std::vector<OwnWindows::Window>> mine;
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == cursorEvent && drawnPointer && !firstChange) firstChange = Clock::now();
                if (event.type != damageEvent) continue;
                const auto& notify = reinterpret_cast<const XDamageNotifyEvent&>(event);
                if (!mine) mine = keptOut(rect);
                if (intersects(rect, notify.area.x, notify.area.y, notify.area.width, notify.area.height) &&
                    !insideOwn(notify.area, *mine)) {
                    if (!firstChange) firstChange = Clock::now();
                    noteDamagedRows(notify.area.y - rect.y, notify.area.y - rect.y + notify.area.height);
                }
            }
            checkAlive();
            auto now = Clock::now();
            if (now >= until) {
                if (!firstChange && pointerMoved(rect)) firstChange = now;
                break;
            }
            // To the nanosecond: a whole-millisecond poll wakes up to a millisecond late, and the
            // stream's ticks must land just before the encoder's slots.
            pollfd p{fd, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
            timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
            int ready = ::ppoll(&p, 1, &wait, nullptr);
            if (ready < 0 && errno != EINTR) throw CaptureFailure("waiting for the X display failed");
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR))) {
                // Let Xlib see the hang-up so that the connection is marked broken.
                XNoOp(display);
                XSync(display, False);
                checkAlive();
            }
        }
        // Re-arm the report for the next interval.
        XDamageSubtract(display, damage, None, None);
        XFlush(display);
        auto change = firstChange;
        firstChange.reset();
        return change;
    }

    PartialPicture captureChanges(const PixelRect& rect, bool withCursor) override {
        checkAlive();
        if (rect.width <= 0 || rect.height <= 0) throw CaptureFailure("empty capture rectangle");
        const bool composed = !ownWindowsIn(rect).empty();
        const bool whole = !partialValid || !(rect == partialRect) || !useShm || composed;
        // What the server must send again: what changed, and where the pointer was drawn into
        // the last picture.
        ChangedRows rows{0, rect.height};
        if (!whole) {
            rows = damagedRows.with(cursorRows);
            rows.first = std::max(rows.first, 0);
            rows.last = std::min(rows.last, rect.height);
        }
        damagedRows = {};
        std::optional<PointerQuestion> question = withCursor ? askPointer() : std::nullopt;
        PixelView all;
        if (whole) {
            all = capture(rect, false);
            partialRect = rect;
            partialValid = useShm && image && !composed;
        } else {
            if (!rows.empty()) readBand(rect, rows);
            all = {reinterpret_cast<uint8_t*>(image->data), rect.width, rect.height, image->bytes_per_line};
        }
        std::optional<CursorImage> pointer = pointerAnswer(question, rect);
        // The picture also changed where the pointer is drawn now.
        if (pointer && !whole) {
            rows = rows.with({std::max(pointer->top, 0), std::min(pointer->top + pointer->height, rect.height)});
        }
        // The rows the pointer covers are taken from the server again next time.
        cursorRows = {};
        if (pointer) {
            compositeCursor(const_cast<uint8_t*>(all.data), all.width, all.height, all.stride, *pointer);
            cursorRows = {pointer->top, pointer->top + pointer->height};
        }
        return {all, rows};
    }

    std::optional<ScreenMark> mark(const PixelRect& rect) override {
        checkAlive();
        if (!markDamage) {
            int eventBase, errorBase;
            if (!XDamageQueryExtension(display, &eventBase, &errorBase) || !hasFixes) return std::nullopt;
            damageEvent = eventBase + XDamageNotify;
            markDamage = XDamageCreate(display, root, XDamageReportDeltaRectangles);
            watchCursorShape();
            markCount = 1;  // whatever came before is unknown: the first mark matches no picture
        }
        // One round trip: the pointer's place, and every change made before it has been
        // reported by the time its answer arrives (events come in order with replies).
        int x = 0, y = 0;
        queryPointer(x, y);
        std::optional<std::vector<OwnWindows::Window>> mine;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == damageEvent) {
                const auto& notify = reinterpret_cast<const XDamageNotifyEvent&>(event);
                if (!mine) mine = keptOut(rect);
                if (intersects(rect, notify.area.x, notify.area.y, notify.area.width, notify.area.height) &&
                    !insideOwn(notify.area, *mine)) {
                    ++markCount;
                    if (notify.area.width <= 4 && notify.area.height <= 64) ++caretCount;
                }
            } else if (event.type == cursorEvent) {
                ++cursorCount;
            }
        }
        // Re-arm the report: the next change is reported even inside the area seen so far.
        XDamageSubtract(display, markDamage, None, None);
        XFlush(display);
        checkAlive();
        return ScreenMark{markCount, x, y, cursorCount, caretCount};
    }

    void suppressScreenSaver(bool suppress) override {
        if (broken) return;
        int eventBase, errorBase;
        if (XScreenSaverQueryExtension(display, &eventBase, &errorBase))
            XScreenSaverSuspend(display, suppress ? True : False);
        XFlush(display);
    }

    bool usable() const override {
        if (broken) return false;
        // An idle connection learns of a vanished server only through its socket.
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        return !(::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)));
    }

private:
    void checkAlive() {
        if (broken) throw CaptureFailure("the X display went away");
    }

    std::vector<OwnWindows::Window> ownWindowsIn(const PixelRect& rect) const {
        std::vector<OwnWindows::Window> found;
        if (!own) return found;
        for (auto& window : own->list()) {
            bool touches = false;
            for (const auto& c : window.covers) touches = touches || intersects(rect, c.x, c.y, c.width, c.height);
            if (touches) found.push_back(std::move(window));
        }
        return found;
    }

    // The own windows in `rect` that pictures leave out: none without Composite, where they
    // are in the pictures.
    std::vector<OwnWindows::Window> keptOut(const PixelRect& rect) const {
        return canCompose ? ownWindowsIn(rect) : std::vector<OwnWindows::Window>{};
    }

    // Damage wholly inside one of this process's own windows (the banner repainting itself)
    // changes no picture: pictures leave those windows out.
    static bool insideOwn(const XRectangle& area, const std::vector<OwnWindows::Window>& mine) {
        for (const auto& window : mine) {
            for (const auto& c : window.covers) {
                if (area.x >= c.x && area.y >= c.y && area.x + area.width <= c.x + c.width &&
                    area.y + area.height <= c.y + c.height) {
                    return true;
                }
            }
        }
        return false;
    }

    void noteDamagedRows(int first, int last) { damagedRows = damagedRows.with({first, last}); }

    // Reads the full-width rows of `rows` into their place in the shared image: an image
    // header over those rows of the segment, so that the server writes at the right offset.
    void readBand(const PixelRect& rect, ChangedRows rows) {
        XImage band = *image;
        band.height = rows.last - rows.first;
        band.data = image->data + static_cast<size_t>(rows.first) * image->bytes_per_line;
        if (!XShmGetImage(display, root, &band, rect.x, rect.y + rows.first, AllPlanes)) {
            partialValid = false;
            throw CaptureFailure("the screen could not be read at " + std::to_string(rect.x) + "," +
                                 std::to_string(rect.y + rows.first));
        }
    }

    X11WindowComposer& composing() {
        if (!composer) composer = std::make_unique<X11WindowComposer>(display, root);
        return *composer;
    }

    XImage* readShared(Drawable source, const PixelRect& rect) {
        if (!image || image->width != rect.width || image->height != rect.height || !shmAttached) {
            if (!allocateShm(rect.width, rect.height)) {
                useShm = false;
                return nullptr;
            }
        }
        if (!XShmGetImage(display, source, image, rect.x, rect.y, AllPlanes)) {
            throw CaptureFailure("the screen could not be read at " + std::to_string(rect.x) + "," +
                                 std::to_string(rect.y));
        }
        return image;
    }

    // The fallback for displays without shared memory; reuses its image while the size stays.
    XImage* readPlain(Drawable source, const PixelRect& rect) {
        if (shmAttached) releaseShm();
        if (image && (image->width != rect.width || image->height != rect.height)) {
            XDestroyImage(image);
            image = nullptr;
        }
        if (image) {
            if (!XGetSubImage(display, source, rect.x, rect.y, static_cast<unsigned>(rect.width),
                              static_cast<unsigned>(rect.height), AllPlanes, ZPixmap, image, 0, 0)) {
                checkAlive();
                throw CaptureFailure("the screen could not be read at " + std::to_string(rect.x) + "," +
                                     std::to_string(rect.y));
            }
            return image;
        }
        image = XGetImage(display, source, rect.x, rect.y, static_cast<unsigned>(rect.width),
                          static_cast<unsigned>(rect.height), AllPlanes, ZPixmap);
        if (!image) {
            checkAlive();
            throw CaptureFailure("the screen could not be read at " + std::to_string(rect.x) + "," +
                                 std::to_string(rect.y));
        }
        return image;
    }

    // Makes a shared image of width × height. The segment is marked for removal as soon as
    // both sides have attached it, so it disappears with the last detach even if this
    // process dies.
    bool allocateShm(int width, int height) {
        releaseShm();
        if (image) {
            XDestroyImage(image);
            image = nullptr;
        }
        Visual* visual = DefaultVisual(display, DefaultScreen(display));
        int depth = DefaultDepth(display, DefaultScreen(display));
        image = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &segment,
                                static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (!image) return false;
        segment.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(height),
                               IPC_CREAT | 0600);
        if (segment.shmid < 0) return failShm();
        segment.shmaddr = image->data = static_cast<char*>(shmat(segment.shmid, nullptr, 0));
        if (segment.shmaddr == reinterpret_cast<char*>(-1)) {
            shmctl(segment.shmid, IPC_RMID, nullptr);
            image->data = nullptr;
            return failShm();
        }
        segment.readOnly = False;
        x11::takeLastError();
        XShmAttach(display, &segment);
        XSync(display, False);
        shmctl(segment.shmid, IPC_RMID, nullptr);
        if (x11::takeLastError() != 0 || broken) {
            shmdt(segment.shmaddr);
            image->data = nullptr;
            return failShm();
        }
        shmAttached = true;
        return true;
    }

    bool failShm() {
        if (image) {
            image->data = nullptr;
            XDestroyImage(image);
            image = nullptr;
        }
        return false;
    }

    void releaseShm() {
        if (!shmAttached) return;
        if (!broken) {
            XShmDetach(display, &segment);
            XSync(display, False);
        }
        shmdt(segment.shmaddr);
        shmAttached = false;
        if (image) {
            image->data = nullptr;
            XDestroyImage(image);
            image = nullptr;
        }
    }

    // A request for the pointer's image and place, sent but not yet answered. Asked before a
    // picture is read and answered after, it shares the picture's round trip: on a busy server
    // each round trip waits its turn. An unanswered one is discarded.
    class PointerQuestion {
    public:
        explicit PointerQuestion(xcb_connection_t* connection)
            : connection(connection), cookie(xcb_xfixes_get_cursor_image(connection)) {}
        PointerQuestion(PointerQuestion&& other) noexcept
            : connection(std::exchange(other.connection, nullptr)), cookie(other.cookie) {}
        PointerQuestion(const PointerQuestion&) = delete;
        PointerQuestion& operator=(const PointerQuestion&) = delete;
        PointerQuestion& operator=(PointerQuestion&&) = delete;
        ~PointerQuestion() {
            if (connection) xcb_discard_reply(connection, cookie.sequence);
        }
        // Waits for the answer (null when the server refused); the caller frees it.
        xcb_xfixes_get_cursor_image_reply_t* answer() {
            xcb_generic_error_t* error = nullptr;
            auto* reply = xcb_xfixes_get_cursor_image_reply(std::exchange(connection, nullptr), cookie, &error);
            std::free(error);
            return reply;
        }

    private:
        xcb_connection_t* connection;
        xcb_xfixes_get_cursor_image_cookie_t cookie;
    };

    std::optional<PointerQuestion> askPointer() {
        if (!hasFixes) return std::nullopt;
        return PointerQuestion(XGetXCBConnection(display));
    }
    // The pointer over `rect`; the image stays valid until the next answer.
    std::optional<CursorImage> pointerAnswer(std::optional<PointerQuestion>& question, const PixelRect& rect) {
        if (!question) return std::nullopt;
        xcb_xfixes_get_cursor_image_reply_t* cursor = question->answer();
        if (!cursor) return std::nullopt;
        // Premultiplied ARGB, one 32-bit pixel each.
        const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor);
        cursorPixels.assign(pixels, pixels + xcb_xfixes_get_cursor_image_cursor_image_length(cursor));
        CursorImage overlay{cursorPixels.data(), cursor->width, cursor->height, cursor->x - cursor->xhot - rect.x,
                            cursor->y - cursor->yhot - rect.y};
        drawnPointer = std::make_pair(cursor->x, cursor->y);
        std::free(cursor);
        return overlay;
    }

    // Asks for an event whenever the pointer's shape changes (`cursorEvent`). Needs XFixes.
    void watchCursorShape() {
        int fixesEvent, fixesError;
        XFixesQueryExtension(display, &fixesEvent, &fixesError);
        cursorEvent = fixesEvent + XFixesCursorNotify;
        XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
    }

    // The pointer's place on the root window (one round trip); false when it is on another
    // screen, whose root coordinates `x`, `y` then hold.
    bool queryPointer(int& x, int& y) {
        Window rootReturn, child;
        int wx, wy;
        unsigned mask;
        return XQueryPointer(display, root, &rootReturn, &child, &x, &y, &wx, &wy, &mask);
    }

    // Whether the pointer left the place where the last picture drew it, seen from `rect`: a
    // move far outside it (on another display) changes nothing there. One round trip; false
    // when no picture drew the pointer.
    bool pointerMoved(const PixelRect& rect) {
        if (!drawnPointer) return false;
        int x = 0, y = 0;
        if (!queryPointer(x, y)) return false;
        if (std::make_pair(x, y) == *drawnPointer) return false;
        // Pointer images reach less than this far from the hot spot.
        constexpr int reach = 256;
        auto near = [&](int px, int py) { return intersects(rect, px - reach, py - reach, 2 * reach, 2 * reach); };
        return near(x, y) || near(drawnPointer->first, drawnPointer->second);
    }

    Display* display = nullptr;
    Window root = 0;
    bool broken = false;
    bool useShm = false;
    bool hasFixes = false;
    XImage* image = nullptr;
    XShmSegmentInfo segment{};
    bool shmAttached = false;
    bool canCompose = false;  // the server has Composite: pictures can leave own windows out
    Damage damage = 0;
    int damageEvent = 0;
    // Marks for stills (a capturer that makes marks is not used for streams).
    Damage markDamage = 0;
    int cursorEvent = -1;
    uint64_t markCount = 0;
    uint64_t caretCount = 0;  // of markCount, changes no bigger than a caret
    uint64_t cursorCount = 0;
    std::optional<Clock::time_point> firstChange;
    // Partial reads for streams: the shared image holds the last picture of `partialRect`.
    ChangedRows damagedRows;  // changed since the last partial read (from damage events)
    ChangedRows cursorRows;   // where the last partial read drew the pointer
    PixelRect partialRect;
    bool partialValid = false;
    std::vector<uint32_t> cursorPixels;
    std::optional<std::pair<int, int>> drawnPointer;  // where the last answer put the pointer (root coordinates)
    std::set<uint32_t> redirected;                    // windows this connection keeps redirected
    XImage* windowImage = nullptr;
    const OwnWindows* own;
    std::unique_ptr<X11WindowComposer> composer;
};

}  // namespace

std::unique_ptr<ScreenCapturer> makeX11ScreenCapturer(const OwnWindows* own) {
    return std::make_unique<X11ScreenCapturer>(own);
}

}  // namespace tovo
