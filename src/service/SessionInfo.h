#pragma once

#include <memory>

namespace tovo {

class DesktopSession;

namespace SessionInfo {

// Whether a graphical login session is there for this user.
bool current();

// The process-wide desktop session backend that session and permission checks ask.
DesktopSession& desktop();

// Replaces that backend (tests); null restores the platform's.
void replaceDesktop(std::shared_ptr<DesktopSession> replacement);

}  // namespace SessionInfo
}  // namespace tovo
