#include "service/ScreenPermissions.h"

#include "platform/DesktopSession.h"
#include "service/SessionInfo.h"

namespace tovo::ScreenPermissions {

bool screenRecording() { return SessionInfo::desktop().canCaptureScreen(); }
bool accessibility() { return SessionInfo::desktop().canInjectInput(); }
bool requestScreenRecording() { return screenRecording(); }
bool requestAccessibility() { return accessibility(); }

void requestAll() {
    requestScreenRecording();
    requestAccessibility();
}

}  // namespace tovo::ScreenPermissions
