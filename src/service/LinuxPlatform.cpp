// The Linux backends of every platform facility, built over one shared X connection.
#include "service/ScreenService.h"

#include "capture/x11/X11Capture.h"
#include "desktop/atspi/AtspiAccessibility.h"
#include "desktop/x11/X11WindowSystem.h"
#include "input/x11/XTestInputInjector.h"
#include "session/dbus/DBusConsoleLock.h"
#include "session/x11/X11DesktopSession.h"
#include "video/libav/LibavEncoderSession.h"
#include "x11/X11Connection.h"

namespace tovo {

Platform Platform::linuxDesktop() {
    auto shared = std::make_shared<x11::SharedDisplay>();
    Platform platform;
    platform.keepAlive = shared;
    platform.session = makeX11DesktopSession(*shared);
    platform.consoleLock = makeDBusConsoleLock();
    platform.displays = makeX11DisplaySource(*shared);
    platform.makeCapturer = makeX11ScreenCapturer;
    platform.windows = makeX11WindowSystem(*shared);
    platform.accessibility = makeAtspiAccessibility();
    platform.injector = makeXTestInputInjector();
    platform.makeEncoderSession = libavSessionFactory();
    return platform;
}

}  // namespace tovo
