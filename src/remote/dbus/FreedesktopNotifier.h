#pragma once

#include "remote/PairingNotifier.h"

#include <memory>

namespace tovo {

// Pairing notices as desktop notifications (org.freedesktop.Notifications on the session
// bus) with a "Remove" action. Without a session bus or a notification server, a notice is
// logged and dropped.
std::unique_ptr<PairingNotifier> makeFreedesktopNotifier();

}  // namespace tovo
