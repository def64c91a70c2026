// The wlroots desktop platform: every facility that speaks to a wlroots Wayland compositor
// (sway and its kin), each over a connection of its own but for the short requests.
#include "capture/wlroots/WlrootsCapture.h"
#include "clipboard/wlroots/WlrootsClipboard.h"
#include "desktop/wlroots/WlrootsWindows.h"
#include "display/wlroots/WlrootsDisplays.h"
#include "input/wlroots/WlrootsInput.h"
#include "overlay/wlroots/WlrootsOverlay.h"
#include "service/ScreenService.h"
#include "session/wlroots/WlrootsDesktopSession.h"
#include "wayland/WaylandClient.h"

namespace tovo {

void provideWlrootsDesktop(Platform& platform) {
    // What the backends share: the connection for short requests, and the banner's
    // translucent pixels (drawn by the overlay, taken out by captures).
    struct Shared {
        wayland::SharedConnection connection;
        OwnLayers ownLayers;
    };
    auto kept = std::make_shared<Shared>();
    OwnLayers* own = &kept->ownLayers;
    platform.keepAlive = kept;
    platform.session = makeWlrootsDesktopSession(kept->connection);
    platform.displays = makeWlrootsDisplaySource(kept->connection);
    platform.makeCapturer = [own] { return makeWlrootsScreenCapturer(own); };
    platform.windows = makeWlrootsWindowSystem();
    platform.injector = makeWlrootsInputInjector();
    platform.pasteboard = makeWlrootsClipboard();
    platform.makeOverlay = [own](std::function<std::vector<PixelRect>()>) {
        return makeWlrootsAutomationOverlay(*own);
    };
    // A Wayland client cannot read where the pointer is, nor watch the keyboard: there is
    // no client-drawn cursor and no Escape tap (the banner's Stop button ends automation).
}

}  // namespace tovo
