#include "service/SessionInfo.h"

#include "base/PlatformInstance.h"
#include "platform/DesktopSession.h"

namespace tovo::SessionInfo {

namespace {

PlatformInstance<DesktopSession> desktops;

}  // namespace

DesktopSession& desktop() { return desktops.get(); }

void replaceDesktop(std::shared_ptr<DesktopSession> replacement) { desktops.replace(std::move(replacement)); }

bool current() { return desktop().reachable(); }

}  // namespace tovo::SessionInfo
