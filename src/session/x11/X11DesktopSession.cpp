// DesktopSession on X11: the session is the display named by $DISPLAY, reached through the
// shared connection; capture works on any display we can reach; input needs XTEST.
#include "session/x11/X11DesktopSession.h"

#include "x11/X11Connection.h"

#include <X11/Xlib.h>

namespace tovo {
namespace {

class X11DesktopSession final : public DesktopSession {
public:
    explicit X11DesktopSession(x11::SharedDisplay& shared) : shared(shared) {}

    bool reachable() override { return shared.reachable(); }
    bool canCaptureScreen() override { return reachable(); }
    bool canInjectInput() override {
        bool present = false;
        bool alive = shared.with([&](Display* display) {
            int opcode, event, error;
            present = XQueryExtension(display, "XTEST", &opcode, &event, &error) == True;
        });
        return alive && present;
    }

private:
    x11::SharedDisplay& shared;
};

}  // namespace

std::unique_ptr<DesktopSession> makeX11DesktopSession(x11::SharedDisplay& display) {
    return std::make_unique<X11DesktopSession>(display);
}

}  // namespace tovo
