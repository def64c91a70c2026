// DesktopSession on X11: the session is the display named by $DISPLAY; capture works on
// any display we can open; input needs the XTEST extension.
#include "platform/DesktopSession.h"

#include <X11/Xlib.h>

namespace tovo {
namespace {

class X11DesktopSession final : public DesktopSession {
public:
    bool reachable() override {
        return withDisplay([](Display*) { return true; });
    }
    bool canCaptureScreen() override { return reachable(); }
    bool canInjectInput() override {
        return withDisplay([](Display* display) {
            int opcode, event, error;
            return XQueryExtension(display, "XTEST", &opcode, &event, &error) == True;
        });
    }

private:
    template <typename Check>
    static bool withDisplay(Check check) {
        Display* display = XOpenDisplay(nullptr);
        if (!display) return false;
        bool result = check(display);
        XCloseDisplay(display);
        return result;
    }
};

}  // namespace

std::unique_ptr<DesktopSession> DesktopSession::create() { return std::make_unique<X11DesktopSession>(); }

}  // namespace tovo
