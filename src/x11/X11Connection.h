#pragma once

#include "base/Mutex.h"

#include <functional>
#include <mutex>
#include <string>

typedef struct _XDisplay Display;

namespace tovo::x11 {

// Makes Xlib thread-safe and installs error handlers that never end the process; called by
// every X11 backend before its first Xlib call.
void initThreads();

// The code of the last protocol error this thread's requests caused since the last call,
// or 0. Call XSync first so that the errors of the requests in question have arrived.
int takeLastError();

// Opens a connection of its own to $DISPLAY whose loss sets `*broken` instead of ending
// the process. Null when the display cannot be opened.
Display* openDisplay(bool* broken);

// A connection to the X display named by $DISPLAY, shared by the backends that make short
// requests (the service builds one and hands it to them). It survives the X server going
// away: the broken connection is closed and the next use opens a new one, so the service
// follows an X server that ends and comes back.
//
// Threads: any; uses are serialised under the connection's lock, so keep them short and
// never call back into another component from inside one.
class SharedDisplay {
public:
    SharedDisplay() = default;
    ~SharedDisplay();
    SharedDisplay(const SharedDisplay&) = delete;
    SharedDisplay& operator=(const SharedDisplay&) = delete;

    // Runs `use` with the live connection, opening it first when needed. False, without
    // calling `use`, when no display can be opened; false also when the connection broke
    // during `use` (whatever `use` read is then not to be trusted).
    bool with(const std::function<void(Display*)>& use);

    // Checks the connection with a round trip to the server.
    bool reachable();

private:
    void close() TOVO_REQUIRES(lock);

    Mutex lock;  // guards display and broken, and serialises every use of the display
    Display* display TOVO_GUARDED_BY(lock) = nullptr;
    bool broken TOVO_GUARDED_BY(lock) = false;
    std::string openedName;
};

}  // namespace tovo::x11
