#pragma once

#include "session/DesktopSession.h"
#include "x11/X11Connection.h"

#include <memory>

namespace tovo {

// The session is the X display reached through `display` (which must outlive it); capture
// works on any display that is reached; input needs XTEST.
std::unique_ptr<DesktopSession> makeX11DesktopSession(x11::SharedDisplay& display);

}  // namespace tovo
