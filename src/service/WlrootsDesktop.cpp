// The wlroots desktop platform: every facility that speaks to a wlroots Wayland compositor
// (sway and its kin), each over a connection of its own but for the short requests.
#include "capture/wlroots/WlrootsCapture.h"
#include "clipboard/wlroots/WlrootsClipboard.h"
#include "desktop/wlroots/WlrootsWindows.h"
#include "display/wlroots/WlrootsDisplays.h"
#include "input/wlroots/WlrootsInput.h"
#include "service/ScreenService.h"
#include "session/wlroots/WlrootsDesktopSession.h"
#include "wayland/WaylandClient.h"

namespace tovo {

void provideWlrootsDesktop(Platform& platform) {
    auto shared = std::make_shared<wayland::SharedConnection>();
    platform.keepAlive = shared;
    platform.session = makeWlrootsDesktopSession(*shared);
    platform.displays = makeWlrootsDisplaySource(*shared);
    platform.makeCapturer = [] { return makeWlrootsScreenCapturer(); };
    platform.windows = makeWlrootsWindowSystem();
    platform.injector = makeWlrootsInputInjector();
    platform.pasteboard = makeWlrootsClipboard();
    // A Wayland client cannot read where the pointer is, nor watch the keyboard: there is
    // no client-drawn cursor and no Escape tap (the banner's Stop button ends automation).
}

}  // namespace tovo
