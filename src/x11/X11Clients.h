#pragma once

#include <cstdint>

typedef struct _XDisplay Display;
typedef unsigned long XID;

namespace tovo::x11 {

// The property the app sets on each of its windows (a CARDINAL, 1) so that the service it
// supervises treats them as its own: left out of pictures, streams and window lists.
inline constexpr const char* supervisorMarkProperty = "_TOVO_CONTROL_APP_WINDOW";

// The first window at or below `window` carrying WM_STATE (the client a window manager
// framed), or 0.
XID findClient(Display* display, XID window);

// The process that owns `window`: from X-Resource (the server's own knowledge), else the
// window's _NET_WM_PID; 0 when neither says.
int32_t windowOwnerPid(Display* display, XID window);

// Whether `client` is a window of the supervising app `supervisorPid`: it carries the mark
// and X-Resource (or _NET_WM_PID) says that process owns it.
bool isSupervisorWindow(Display* display, XID client, int32_t supervisorPid);

}  // namespace tovo::x11
