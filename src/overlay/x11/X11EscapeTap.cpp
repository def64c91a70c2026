// The Escape tap: a passive grab of Escape on the root window, with the keyboard frozen
// until each press is judged, so that a press can either be taken (the user's) or replayed
// to the application as if no grab existed (one this process posted).
#include "base/Log.h"
#include "base/Mutex.h"
#include "overlay/x11/X11Overlay.h"
#include "x11/X11Connection.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace tovo {
namespace {

// The lock-like modifiers an Escape may carry and still count as plain (Caps Lock, Num
// Lock); one grab per combination.
constexpr unsigned lockCombinations[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

class X11EscapeTap final : public EscapeTap {
public:
    explicit X11EscapeTap(OwnKeyPresses& own) : own(own) {}
    ~X11EscapeTap() override { remove(); }

    std::optional<std::string> install(std::function<void()> onEscape) override {
        MutexLock serial(installing);
        if (thread.joinable()) return std::nullopt;
        stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd < 0) return std::string("no event descriptor");
        {
            MutexLock guard(lock);
            handler = std::move(onEscape);
            outcome.reset();
        }
        thread = std::thread([this] { run(); });
        MutexLock guard(lock);
        while (!outcome) guard.wait(reported);
        auto failure = *outcome;
        guard.unlock();
        if (failure) {
            thread.join();
            ::close(stopFd);
            stopFd = -1;
        }
        return failure;
    }

    void remove() override {
        MutexLock serial(installing);
        if (!thread.joinable()) return;
        {
            MutexLock guard(lock);
            handler = nullptr;
        }
        uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopFd, &one, sizeof one);
        thread.join();
        ::close(stopFd);
        stopFd = -1;
    }

private:
    void report(std::optional<std::string> failure) {
        {
            MutexLock guard(lock);
            outcome = std::move(failure);
        }
        reported.notify_all();
    }

    // True when remove() asked the thread to end within `limit`.
    bool stopRequested(int limitMs) {
        pollfd p{stopFd, POLLIN, 0};
        return ::poll(&p, 1, limitMs) > 0;
    }

    // The tap's thread. Follows an X server that goes away and comes back: the grab is made
    // again on the new server.
    void run() {
        bool first = true;
        std::optional<std::string> lastFailure;
        for (;;) {
            bool grabbed = false;
            auto failure = watch(first, grabbed);
            if (first && !grabbed) return report(failure);
            first = false;
            if (!failure) return;  // asked to stop
            if (!grabbed && failure != lastFailure) log("automation: no Escape tap for now (" + *failure + ")");
            lastFailure = grabbed ? std::nullopt : failure;
            if (stopRequested(1000)) return;
        }
    }

    // Grabs Escape and judges presses until asked to stop (none) or the display fails (why).
    // The first time, success is reported as soon as the grab holds.
    std::optional<std::string> watch(bool first, bool& grabbed) {
        bool broken = false;
        Display* display = x11::openDisplay(&broken);
        if (!display) return std::string("no X display");
        Window root = DefaultRootWindow(display);
        KeyCode escape = XKeysymToKeycode(display, XK_Escape);
        if (escape == 0) {
            XCloseDisplay(display);
            return std::string("the keyboard has no Escape key");
        }
        x11::takeLastError();
        for (unsigned mods : lockCombinations) {
            XGrabKey(display, escape, mods, root, False, GrabModeAsync, GrabModeSync);
        }
        XSync(display, False);
        if (x11::takeLastError() != 0 || broken) {
            if (!broken) XUngrabKey(display, escape, AnyModifier, root);
            XCloseDisplay(display);
            return std::string("another program holds the Escape key");
        }
        grabbed = true;
        if (first) {
            report(std::nullopt);
        } else {
            log("automation: the Escape tap is back on the X display");
        }

        pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {stopFd, POLLIN, 0}};
        bool stop = false;
        while (!broken && !stop) {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == KeyPress && event.xkey.keycode == escape) judge(display, event.xkey);
            }
            if (broken) break;
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
            if (fds[1].revents & POLLIN) stop = true;
            if (fds[0].revents & (POLLHUP | POLLERR)) {
                XNoOp(display);
                XSync(display, False);
            }
        }
        if (!broken) {
            XUngrabKey(display, escape, AnyModifier, root);
            XAllowEvents(display, AsyncKeyboard, CurrentTime);
            XSync(display, False);
        }
        XCloseDisplay(display);
        if (stop) return std::nullopt;
        log("automation: the Escape tap lost the X display");
        return std::string("the X display went away");
    }

    // Runs on the tap's thread with the keyboard frozen: it must answer at once.
    void judge(Display* display, const XKeyEvent& press) {
        std::function<void()> onEscape;
        {
            MutexLock guard(lock);
            onEscape = handler;
        }
        if (!onEscape || own.take(XK_Escape)) {
            XAllowEvents(display, ReplayKeyboard, press.time);
            XFlush(display);
            return;
        }
        XAllowEvents(display, AsyncKeyboard, press.time);
        XFlush(display);
        onEscape();
    }

    OwnKeyPresses& own;
    Mutex installing;  // serialises install and remove; guards thread and stopFd
    std::thread thread TOVO_GUARDED_BY(installing);
    int stopFd = -1;  // set by install before the thread starts, closed by remove after it ended

    Mutex lock;  // guards handler and outcome
    std::condition_variable reported;
    std::function<void()> handler TOVO_GUARDED_BY(lock);
    std::optional<std::optional<std::string>> outcome TOVO_GUARDED_BY(lock);  // set by the tap's thread once it knows
};

}  // namespace

std::unique_ptr<EscapeTap> makeX11EscapeTap(OwnKeyPresses& own) { return std::make_unique<X11EscapeTap>(own); }

}  // namespace tovo
