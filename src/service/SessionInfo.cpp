#include "service/SessionInfo.h"

#include "platform/DesktopSession.h"

namespace tovo::SessionInfo {

DesktopSession& desktop() {
    static const std::unique_ptr<DesktopSession> shared = DesktopSession::create();
    return *shared;
}

bool current() { return desktop().reachable(); }

}  // namespace tovo::SessionInfo
