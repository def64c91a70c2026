#include "display/x11/X11SupervisorWindows.h"

#include "x11/X11Clients.h"
#include "x11/X11Connection.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

namespace tovo {
namespace {

class SupervisorWindows {
public:
    SupervisorWindows(OwnWindows& own, int32_t pid) : own(own), pid(pid) {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread = std::thread([this] { run(); });
    }

    ~SupervisorWindows() {
        ending = true;
        uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
        thread.join();
        ::close(wakeFd);
        for (const auto& [id, rect] : shown) own.remove(id);
    }

private:
    void run() {
        Display* display = nullptr;
        bool broken = false;
        while (!ending) {
            if (display && broken) {
                XCloseDisplay(display);
                display = nullptr;
                forgetAll();
            }
            if (!display) {
                broken = false;
                display = x11::openDisplay(&broken);
                if (display) XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
            }
            if (display && !broken) rescan(display);
            // A window manager frames a new window, and marks its client, in steps after the
            // frame is mapped: look often for a second after a change, else every second.
            const auto now = std::chrono::steady_clock::now();
            pollfd fds[2] = {{wakeFd, POLLIN, 0}, {display ? ConnectionNumber(display) : -1, POLLIN, 0}};
            ::poll(fds, display ? 2 : 1, now < lookOftenUntil ? 50 : 1000);
            if (display && (fds[1].revents & (POLLHUP | POLLERR))) {
                XNoOp(display);
                XSync(display, False);
            }
            // Any change of the root's children is a reason to look again, at once.
            while (display && !broken && XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                lookOftenUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            }
        }
        if (display) XCloseDisplay(display);
    }

    void rescan(Display* display) {
        std::map<uint32_t, PixelRect> found;
        Window root = DefaultRootWindow(display), parent, *children = nullptr;
        unsigned int count = 0;
        x11::takeLastError();
        if (XQueryTree(display, root, &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i) {
                XWindowAttributes a;
                if (!XGetWindowAttributes(display, children[i], &a)) continue;  // gone meanwhile
                if (a.map_state != IsViewable || a.c_class == InputOnly) continue;
                Window client = a.override_redirect ? children[i] : x11::findClient(display, children[i]);
                if (client == 0) client = children[i];
                if (!x11::isSupervisorWindow(display, client, pid)) continue;
                // The frame is what the screen shows (and what captures compose without).
                found[static_cast<uint32_t>(children[i])] =
                    PixelRect{a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width};
            }
        }
        if (children) XFree(children);
        XSync(display, False);
        x11::takeLastError();
        for (const auto& [id, rect] : shown) {
            if (!found.count(id)) own.remove(id);
        }
        for (const auto& [id, rect] : found) {
            auto before = shown.find(id);
            if (before == shown.end() || !(before->second == rect)) own.set(id, {rect});
        }
        shown = std::move(found);
    }

    void forgetAll() {
        for (const auto& [id, rect] : shown) own.remove(id);
        shown.clear();
    }

    OwnWindows& own;
    const int32_t pid;
    int wakeFd = -1;
    std::atomic<bool> ending{false};
    // The watch thread's own (and the destructor's after the join).
    std::map<uint32_t, PixelRect> shown;
    std::chrono::steady_clock::time_point lookOftenUntil;
    std::thread thread;
};

}  // namespace

std::shared_ptr<void> watchSupervisorWindows(OwnWindows& own, int32_t supervisorPid) {
    return std::make_shared<SupervisorWindows>(own, supervisorPid);
}

}  // namespace tovo
