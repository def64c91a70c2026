#pragma once

namespace tovo {

class DesktopSession;

namespace SessionInfo {

// Whether a graphical login session is there for this user.
bool current();

// The process-wide desktop session backend that session and permission checks ask.
DesktopSession& desktop();

}  // namespace SessionInfo
}  // namespace tovo
