#include "x11/X11Connection.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace tovo::x11 {
namespace {

// Xlib calls this when a connection fails. Returning hands over to the connection's exit
// handler (below) instead of ending the process.
int onIOError(Display*) { return 0; }

void onIOErrorExit(Display*, void* userData) { *static_cast<bool*>(userData) = true; }

thread_local int lastError = 0;

// Protocol errors (a window that vanished between two calls) are expected and not fatal;
// callers check their results or ask takeLastError().
int onProtocolError(Display*, XErrorEvent* event) {
    lastError = event->error_code;
    return 0;
}

}  // namespace

void initThreads() {
    static const bool done = [] {
        XInitThreads();
        XSetIOErrorHandler(onIOError);
        XSetErrorHandler(onProtocolError);
        return true;
    }();
    (void)done;
}

int takeLastError() {
    int code = lastError;
    lastError = 0;
    return code;
}

Display* openDisplay(bool* broken) {
    initThreads();
    Display* display = XOpenDisplay(nullptr);
    if (display) XSetIOErrorExitHandler(display, onIOErrorExit, broken);
    return display;
}

SharedDisplay::~SharedDisplay() {
    MutexLock guard(lock);
    if (display) close();
}

bool SharedDisplay::with(const std::function<void(Display*)>& use) {
    initThreads();
    MutexLock guard(lock);
    if (display && broken) close();
    if (!display) {
        broken = false;
        display = openDisplay(&broken);
        if (!display) return false;
        openedName = DisplayString(display);
        log("session: connected to X display " + openedName);
    }
    use(display);
    if (broken) {
        log("session: lost the X display " + openedName);
        close();
        return false;
    }
    return true;
}

bool SharedDisplay::reachable() {
    return with([](Display* d) {
        XNoOp(d);
        XSync(d, False);
    });
}

void SharedDisplay::close() {
    XCloseDisplay(display);
    display = nullptr;
    broken = false;
}

}  // namespace tovo::x11
