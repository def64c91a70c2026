// The Linux backends of every platform facility, built over one shared X connection.
#include "service/ScreenService.h"

#include "audio/pulse/PulseAudioProbe.h"
#include "audio/pulse/PulseAudioSource.h"
#include "capture/x11/X11Capture.h"
#include "display/x11/X11Displays.h"
#include "display/x11/X11SupervisorWindows.h"
#include "clipboard/x11/X11Clipboard.h"
#include "cursor/x11/X11PointerProbe.h"
#include "desktop/atspi/AtspiAccessibility.h"
#include "desktop/x11/X11WindowSystem.h"
#include "input/x11/XTestInputInjector.h"
#include "overlay/x11/X11Overlay.h"
#include "remote/avahi/AvahiAdvertiser.h"
#include "remote/openssl/OpenSSLCrypto.h"
#include "remote/openssl/TLSListener.h"
#include "session/dbus/DBusConsoleLock.h"
#include "session/x11/X11DesktopSession.h"
#include "video/libav/LibavEncoderSession.h"
#include "x11/X11Connection.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace tovo {

Platform Platform::linuxDesktop(std::optional<int32_t> supervisorPid) {
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
    Platform platform;
    platform.keepAlive = kept;
    platform.session = makeX11DesktopSession(*shared);
    platform.consoleLock = makeDBusConsoleLock();
    platform.displays = makeX11DisplaySource(*shared);
    platform.makeCapturer = [own] { return makeX11ScreenCapturer(own); };
    platform.windows = makeX11WindowSystem(*shared, supervisorPid);
    if (supervisorPid) kept->supervisorWindows = watchSupervisorWindows(*own, *supervisorPid);
    platform.accessibility = makeAtspiAccessibility();
    platform.injector = makeXTestInputInjector(&kept->ownKeys);
    platform.makeEncoderSession = libavSessionFactory();
    platform.crypto = makeOpenSSLCrypto();
    platform.makeListener = tlsListenerFactory();
    platform.makeAdvertiser = makeAvahiAdvertiser;
    platform.addresses = localIPv4Addresses;
    platform.pasteboard = makeX11Clipboard();
    platform.pointer = makeX11PointerProbe(*shared);
    platform.makeAudioSource = pulseAudioSourceFactory();
    platform.makeAudioProbe = makePulseAudioProbe;
    platform.makeOverlay = [own](std::function<std::vector<PixelRect>()> screens) {
        return makeX11AutomationOverlay(std::move(screens), *own);
    };
    platform.escapeTap = makeX11EscapeTap(kept->ownKeys);
    return platform;
}

std::vector<std::string> localIPv4Addresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
        std::string address = text;
        if (address.rfind("169.254.", 0) == 0 || address.rfind("127.", 0) == 0) continue;
        if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace tovo
