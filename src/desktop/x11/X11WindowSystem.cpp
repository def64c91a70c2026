// WindowSystem on X11 with EWMH: the stacking order from the root's children (frames and
// override-redirect windows), clients found through WM_STATE, owners through X-Resource
// (else _NET_WM_PID), app identity from _GTK_APPLICATION_ID, _KDE_NET_WM_DESKTOP_FILE or
// WM_CLASS, and levels from the window type and state.
#include "desktop/x11/X11WindowSystem.h"

#include "base/Utf8.h"
#include "x11/X11Clients.h"
#include "x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace tovo {
namespace {

// Reads a property of 32-bit items (returned as longs by Xlib).
std::vector<unsigned long> longs(Display* d, Window w, Atom property, Atom type) {
    Atom actual;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(d, w, property, 0, 4096, False, type, &actual, &format, &count, &after, &data) == Success &&
        data && format == 32) {
        auto* items = reinterpret_cast<unsigned long*>(data);
        out.assign(items, items + count);
    }
    if (data) XFree(data);
    return out;
}

std::optional<std::string> text(Display* d, Window w, Atom property) {
    Atom actual;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> out;
    if (XGetWindowProperty(d, w, property, 0, 1024, False, AnyPropertyType, &actual, &format, &count, &after, &data) ==
            Success &&
        data && format == 8 && count > 0) {
        out = std::string(reinterpret_cast<char*>(data), count);
    }
    if (data) XFree(data);
    return out;
}

std::string processName(int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

class X11WindowSystem final : public WindowSystem {
public:
    X11WindowSystem(x11::SharedDisplay& shared, std::optional<int32_t> supervisorPid)
        : shared(shared), supervisorPid(supervisorPid) {}

    std::vector<WindowRecord> onScreenWindows() override {
        std::vector<WindowRecord> out;
        shared.with([&](Display* d) {
            Atoms atoms(d);
            const DeclaredIds declared = declaredIds(d, atoms);
            Rect screen{0, 0, double(DisplayWidth(d, DefaultScreen(d))), double(DisplayHeight(d, DefaultScreen(d)))};
            for (const auto& top : topLevels(d)) {
                // Mapped but wholly outside the screen (a window manager's helper windows
                // live there) is not on screen.
                if (!top.viewable || top.bounds.intersection(screen).area() <= 0) continue;
                out.push_back(describe(d, atoms, top, declared));
            }
        });
        std::reverse(out.begin(), out.end());  // the tree lists bottom to top
        return out;
    }

    std::vector<WindowRecord> windowsOf(const std::vector<int32_t>& pids) override {
        std::vector<WindowRecord> out;
        shared.with([&](Display* d) {
            Atoms atoms(d);
            const DeclaredIds declared = declaredIds(d, atoms);
            std::set<Window> seen;
            auto tops = topLevels(d);
            std::reverse(tops.begin(), tops.end());
            for (const auto& top : tops) {
                WindowRecord record = describe(d, atoms, top, declared);
                if (std::find(pids.begin(), pids.end(), record.pid) == pids.end()) continue;
                seen.insert(top.client);
                out.push_back(record);
            }
            // Clients the window manager lists but whose frames are not top-level (withdrawn).
            for (unsigned long client : longs(d, DefaultRootWindow(d), atoms.clientList, XA_WINDOW)) {
                if (seen.count(client)) continue;
                if (supervisorPid && x11::isSupervisorWindow(d, client, *supervisorPid)) continue;
                TopLevel top{client, client, false, false, Rect{}};
                XWindowAttributes attributes;
                if (XGetWindowAttributes(d, client, &attributes)) {
                    top.bounds = Rect{double(attributes.x), double(attributes.y), double(attributes.width),
                                      double(attributes.height)};
                }
                WindowRecord record = describe(d, atoms, top, declared);
                if (std::find(pids.begin(), pids.end(), record.pid) == pids.end()) continue;
                out.push_back(record);
            }
        });
        return out;
    }

    std::optional<WindowRecord> window(uint32_t id) override {
        std::optional<WindowRecord> found;
        shared.with([&](Display* d) {
            Atoms atoms(d);
            const DeclaredIds declared = declaredIds(d, atoms);
            for (const auto& top : topLevels(d)) {
                if (top.client == id || top.frame == id) {
                    found = describe(d, atoms, top, declared);
                    return;
                }
            }
        });
        return found;
    }

    std::optional<AppRef> desktopShell() override {
        std::optional<AppRef> shell;
        shared.with([&](Display* d) {
            Atoms atoms(d);
            const DeclaredIds declared = declaredIds(d, atoms);
            for (unsigned long client : longs(d, DefaultRootWindow(d), atoms.clientList, XA_WINDOW)) {
                auto types = longs(d, client, atoms.windowType, XA_ATOM);
                if (std::find(types.begin(), types.end(), atoms.typeDesktop) == types.end()) continue;
                WindowRecord record = describe(d, atoms, TopLevel{client, client, true, false, Rect{}}, declared);
                shell = AppRef{record.pid, record.bundleId, record.name};
                return;
            }
        });
        return shell;
    }

    std::optional<int32_t> activePid() override {
        std::optional<int32_t> pid;
        shared.with([&](Display* d) {
            Atoms atoms(d);
            const DeclaredIds declared = declaredIds(d, atoms);
            auto active = longs(d, DefaultRootWindow(d), atoms.activeWindow, XA_WINDOW);
            if (active.empty() || active[0] == 0) return;
            int32_t found = ownerPid(d, atoms, active[0]);
            if (found > 0) pid = found;
        });
        return pid;
    }

    std::vector<AppRef> runningApps() override {
        std::vector<AppRef> out;
        std::set<int32_t> seen;
        shared.with([&](Display* d) {
            Atoms atoms(d);
            const DeclaredIds declared = declaredIds(d, atoms);
            for (const auto& top : topLevels(d)) {
                WindowRecord record = describe(d, atoms, top, declared);
                if (record.pid > 0 && seen.insert(record.pid).second) {
                    out.push_back(AppRef{record.pid, record.bundleId, record.name});
                }
            }
        });
        return out;
    }

private:
    struct Atoms {
        explicit Atoms(Display* d)
            : wmState(XInternAtom(d, "WM_STATE", False)),
              clientList(XInternAtom(d, "_NET_CLIENT_LIST", False)),
              activeWindow(XInternAtom(d, "_NET_ACTIVE_WINDOW", False)),
              windowType(XInternAtom(d, "_NET_WM_WINDOW_TYPE", False)),
              typeDesktop(XInternAtom(d, "_NET_WM_WINDOW_TYPE_DESKTOP", False)),
              typeDock(XInternAtom(d, "_NET_WM_WINDOW_TYPE_DOCK", False)),
              typeNotification(XInternAtom(d, "_NET_WM_WINDOW_TYPE_NOTIFICATION", False)),
              state(XInternAtom(d, "_NET_WM_STATE", False)),
              stateAbove(XInternAtom(d, "_NET_WM_STATE_ABOVE", False)),
              stateHidden(XInternAtom(d, "_NET_WM_STATE_HIDDEN", False)),
              pid(XInternAtom(d, "_NET_WM_PID", False)),
              opacity(XInternAtom(d, "_NET_WM_WINDOW_OPACITY", False)),
              gtkApplication(XInternAtom(d, "_GTK_APPLICATION_ID", False)),
              netName(XInternAtom(d, "_NET_WM_NAME", False)),
              kdeDesktopFile(XInternAtom(d, "_KDE_NET_WM_DESKTOP_FILE", False)) {
            for (const char* name :
                 {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU", "_NET_WM_WINDOW_TYPE_MENU",
                  "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_COMBO"}) {
                menuTypes.push_back(XInternAtom(d, name, False));
            }
        }
        Atom wmState, clientList, activeWindow, windowType, typeDesktop, typeDock, typeNotification, state, stateAbove,
            stateHidden, pid, opacity, gtkApplication, netName, kdeDesktopFile;
        std::vector<Atom> menuTypes;
    };

    struct TopLevel {
        Window frame;   // the root's child
        Window client;  // the application's window inside it (the frame itself without one)
        bool viewable;
        bool overrideRedirect;
        Rect bounds;  // the frame's, in root coordinates
    };

    // The root's children, bottom to top, with their clients. Input-only windows and the
    // supervising app's windows (the service's own) are left out.
    std::vector<TopLevel> topLevels(Display* d) const {
        std::vector<TopLevel> out;
        Window root = DefaultRootWindow(d), parent, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(d, root, &root, &parent, &children, &count)) return out;
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(d, children[i], &a) || a.c_class == InputOnly) continue;
            Window client = a.override_redirect ? children[i] : x11::findClient(d, children[i]);
            if (client == 0) client = children[i];
            if (supervisorPid && x11::isSupervisorWindow(d, client, *supervisorPid)) continue;
            out.push_back({children[i], client, a.map_state == IsViewable, a.override_redirect != 0,
                           Rect{double(a.x), double(a.y), double(a.width + 2 * a.border_width),
                                double(a.height + 2 * a.border_width)}});
        }
        if (children) XFree(children);
        return out;
    }

    static int32_t ownerPid(Display* d, const Atoms&, Window w) { return x11::windowOwnerPid(d, w); }

    // The id each process declares on any of its windows (_GTK_APPLICATION_ID, else
    // _KDE_NET_WM_DESKTOP_FILE): an app has one id, whichever of its windows is asked about
    // (a GTK app's secondary windows often carry only WM_CLASS).
    using DeclaredIds = std::map<int32_t, std::string>;
    DeclaredIds declaredIds(Display* d, const Atoms& atoms) const {
        DeclaredIds ids;
        std::set<Window> clients;
        for (const auto& top : topLevels(d)) clients.insert(top.client);
        for (unsigned long client : longs(d, DefaultRootWindow(d), atoms.clientList, XA_WINDOW)) clients.insert(client);
        for (Window client : clients) {
            auto id = text(d, client, atoms.gtkApplication);
            if (!id) id = text(d, client, atoms.kdeDesktopFile);
            if (!id || id->empty()) continue;
            int32_t pid = ownerPid(d, atoms, client);
            if (pid > 0) ids.emplace(pid, *id);
        }
        return ids;
    }

    static WindowRecord describe(Display* d, const Atoms& atoms, const TopLevel& top, const DeclaredIds& declared) {
        WindowRecord record;
        record.id = static_cast<uint32_t>(top.client);
        record.frame = static_cast<uint32_t>(top.frame);
        record.content = top.bounds;
        if (top.client != top.frame) {
            XWindowAttributes a;
            int x = 0, y = 0;
            Window child;
            if (XGetWindowAttributes(d, top.client, &a) &&
                XTranslateCoordinates(d, top.client, DefaultRootWindow(d), 0, 0, &x, &y, &child)) {
                record.content = Rect{double(x), double(y), double(a.width), double(a.height)};
            }
        }
        record.bounds = top.bounds;
        record.onScreen = top.viewable;
        record.pid = ownerPid(d, atoms, top.client);

        std::optional<std::string> className;
        XClassHint hint{};
        if (XGetClassHint(d, top.client, &hint)) {
            if (hint.res_class) className = hint.res_class;
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
        }
        if (className && className->empty()) className.reset();
        record.bundleId = text(d, top.client, atoms.gtkApplication);
        if (!record.bundleId) record.bundleId = text(d, top.client, atoms.kdeDesktopFile);
        if (auto app = declared.find(record.pid); app != declared.end()) record.bundleId = app->second;
        if (!record.bundleId) record.bundleId = className;
        record.name = className ? *className : record.pid > 0 ? processName(record.pid) : "";
        if (record.name.empty()) record.name = "pid " + std::to_string(record.pid);
        // _NET_WM_NAME is UTF-8; the older WM_NAME is Latin-1 (read as such).
        if (auto title = text(d, top.client, atoms.netName)) {
            record.title = isValidUtf8(*title) ? *title : sanitizeUtf8(*title);
        } else if (auto old = text(d, top.client, XA_WM_NAME)) {
            record.title = utf8FromLatin1(*old);
        }

        auto types = longs(d, top.client, atoms.windowType, XA_ATOM);
        auto states = longs(d, top.client, atoms.state, XA_ATOM);
        auto has = [](const std::vector<unsigned long>& list, Atom a) {
            return std::find(list.begin(), list.end(), a) != list.end();
        };
        if (has(types, atoms.typeDesktop)) {
            record.layer = WindowLevel::desktopIcon;
        } else if (has(types, atoms.typeDock)) {
            record.layer = WindowLevel::status;
            record.chrome = true;
        } else if (has(types, atoms.typeNotification)) {
            record.layer = WindowLevel::overlay;
        } else if (top.overrideRedirect &&
                   std::any_of(atoms.menuTypes.begin(), atoms.menuTypes.end(), [&](Atom a) { return has(types, a); })) {
            record.layer = WindowLevel::popUpMenu;
        } else if (has(states, atoms.stateAbove)) {
            record.layer = WindowLevel::floating;
        }
        record.minimized = has(states, atoms.stateHidden);

        auto opacity = longs(d, top.client, atoms.opacity, XA_CARDINAL);
        if (opacity.empty() && top.frame != top.client) opacity = longs(d, top.frame, atoms.opacity, XA_CARDINAL);
        if (!opacity.empty()) record.alpha = static_cast<double>(opacity[0] & 0xFFFFFFFFul) / 4294967295.0;
        return record;
    }
    x11::SharedDisplay& shared;
    const std::optional<int32_t> supervisorPid;
};

}  // namespace

std::unique_ptr<WindowSystem> makeX11WindowSystem(x11::SharedDisplay& display, std::optional<int32_t> supervisorPid) {
    return std::make_unique<X11WindowSystem>(display, supervisorPid);
}

}  // namespace tovo
