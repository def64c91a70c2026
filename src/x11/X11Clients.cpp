#include "x11/X11Clients.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

namespace tovo::x11 {
namespace {

bool hasProperty(Display* display, Window window, Atom property) {
    Atom type = None;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool has = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type, &format, &count,
                                  &after, &data) == Success &&
               type != None;
    if (data) XFree(data);
    return has;
}

Window findClientBelow(Display* display, Window window, Atom wmState, int depth) {
    if (hasProperty(display, window, wmState)) return window;
    if (depth > 4) return 0;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && !found; ++i)
            found = findClientBelow(display, children[i], wmState, depth + 1);
    }
    if (children) XFree(children);
    return found;
}

}  // namespace

XID findClient(Display* display, XID window) {
    return findClientBelow(display, window, XInternAtom(display, "WM_STATE", False), 0);
}

int32_t windowOwnerPid(Display* display, XID window) {
    XResClientIdSpec wanted{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    int32_t pid = 0;
    if (XResQueryClientIds(display, 1, &wanted, &count, &values) == Success) {
        // XResGetClientPid answers -1 for values that carry no pid.
        for (long i = 0; i < count; ++i) {
            pid_t found = XResGetClientPid(&values[i]);
            if (found > 0) pid = found;
        }
        XResClientIdsDestroy(count, values);
    }
    if (pid == 0) {
        Atom type;
        int format;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL,
                               &type, &format, &items, &after, &data) == Success &&
            data && format == 32 && items == 1) {
            pid = static_cast<int32_t>(*reinterpret_cast<unsigned long*>(data));
        }
        if (data) XFree(data);
    }
    return pid;
}

bool isSupervisorWindow(Display* display, XID client, int32_t supervisorPid) {
    if (supervisorPid <= 0) return false;
    Atom mark = XInternAtom(display, supervisorMarkProperty, True);
    return mark != None && hasProperty(display, client, mark) && windowOwnerPid(display, client) == supervisorPid;
}

}  // namespace tovo::x11
