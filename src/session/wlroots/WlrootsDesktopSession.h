#pragma once

#include "session/DesktopSession.h"

#include <memory>

namespace tovo {
namespace wayland {
class SharedConnection;
}

// The session is the Wayland compositor reached through `connection` (which must outlive
// it); capture needs wlr-screencopy, input the virtual pointer and keyboard protocols.
std::unique_ptr<DesktopSession> makeWlrootsDesktopSession(wayland::SharedConnection& connection);

}  // namespace tovo
