// DesktopSession on X11: the session is the display named by $DISPLAY, reached through the
// shared connection; capture works on any display we can reach; input needs XTEST.
#include "platform/DesktopSession.h"
#include "platform/linux/X11Connection.h"

#include <X11/Xlib.h>

namespace tovo {
namespace {

class X11DesktopSession final : public DesktopSession {
public:
    bool reachable() override { return x11::SharedDisplay::instance().reachable(); }
    bool canCaptureScreen() override { return reachable(); }
    bool canInjectInput() override {
        bool present = false;
        bool alive = x11::SharedDisplay::instance().with([&](Display* display) {
            int opcode, event, error;
            present = XQueryExtension(display, "XTEST", &opcode, &event, &error) == True;
        });
        return alive && present;
    }
};

}  // namespace

std::unique_ptr<DesktopSession> DesktopSession::create() { return std::make_unique<X11DesktopSession>(); }

}  // namespace tovo
