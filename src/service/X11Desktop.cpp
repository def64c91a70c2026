// The X11 desktop platform: every facility that speaks to the X server, over one shared
// connection.
#include "capture/x11/X11Capture.h"
#include "clipboard/x11/X11Clipboard.h"
#include "cursor/x11/X11PointerProbe.h"
#include "desktop/x11/X11WindowSystem.h"
#include "display/x11/X11Displays.h"
#include "display/x11/X11SupervisorWindows.h"
#include "input/x11/XTestInputInjector.h"
#include "overlay/x11/X11Overlay.h"
#include "service/ScreenService.h"
#include "session/x11/X11DesktopSession.h"
#include "x11/X11Connection.h"

namespace tovo {

void provideX11Desktop(Platform& platform, std::optional<int32_t> supervisorPid) {
    // What the backends share: the X connection for short requests, the list of this
    // process's own windows (drawn by the banner, left out by captures), and the key presses
    // this process posted (passed on by the Escape tap).
    struct Shared {
        x11::SharedDisplay display;
        OwnWindows ownWindows;
        OwnKeyPresses ownKeys;
        std::shared_ptr<void> supervisorWindows;  // last: its thread writes to ownWindows
    };
    auto kept = std::make_shared<Shared>();
    x11::SharedDisplay* shared = &kept->display;
    OwnWindows* own = &kept->ownWindows;
    platform.keepAlive = kept;
    platform.session = makeX11DesktopSession(*shared);
    platform.displays = makeX11DisplaySource(*shared);
    platform.makeCapturer = [own] { return makeX11ScreenCapturer(own); };
    platform.windows = makeX11WindowSystem(*shared, supervisorPid);
    if (supervisorPid) kept->supervisorWindows = watchSupervisorWindows(*own, *supervisorPid);
    platform.injector = makeXTestInputInjector(&kept->ownKeys);
    platform.pasteboard = makeX11Clipboard();
    platform.pointer = makeX11PointerProbe(*shared);
    platform.makeOverlay = [own](std::function<std::vector<PixelRect>()> screens) {
        return makeX11AutomationOverlay(std::move(screens), *own);
    };
    platform.escapeTap = makeX11EscapeTap(kept->ownKeys);
}

}  // namespace tovo
