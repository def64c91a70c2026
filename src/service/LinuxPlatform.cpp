// The Linux backends of the facilities every desktop platform shares.
#include "audio/pulse/PulseAudioProbe.h"
#include "audio/pulse/PulseAudioSource.h"
#include "desktop/atspi/AtspiAccessibility.h"
#include "remote/avahi/AvahiAdvertiser.h"
#include "remote/dbus/FreedesktopNotifier.h"
#include "remote/openssl/OpenSSLCrypto.h"
#include "remote/openssl/TLSListener.h"
#include "service/ScreenService.h"
#include "session/dbus/DBusConsoleLock.h"
#include "video/libav/LibavEncoderSession.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace tovo {

Platform Platform::linuxDesktop(const std::string& desktop, std::optional<int32_t> supervisorPid) {
    Platform platform;
    platform.name = desktop;
    if (desktop == "x11") {
        provideX11Desktop(platform, supervisorPid);
    } else if (desktop == "wlroots") {
        provideWlrootsDesktop(platform);
    } else {
        throw std::invalid_argument("no desktop platform " + desktop);
    }
    platform.consoleLock = makeDBusConsoleLock();
    platform.accessibility = makeAtspiAccessibility();
    platform.makeEncoderSession = libavSessionFactory(RateControl::fromEnvironment(std::getenv));
    platform.crypto = makeOpenSSLCrypto();
    platform.makeListener = tlsListenerFactory();
    platform.makeAdvertiser = makeAvahiAdvertiser;
    platform.makeNotifier = makeFreedesktopNotifier;
    platform.addresses = localIPv4Addresses;
    platform.makeAudioSource = pulseAudioSourceFactory();
    platform.makeAudioProbe = makePulseAudioProbe;
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
