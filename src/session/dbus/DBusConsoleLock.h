#pragma once

#include "session/ConsoleLock.h"

#include <memory>

namespace tovo {

// The console lock from the screen saver on the session bus, else logind's LockedHint.
std::unique_ptr<ConsoleLock> makeDBusConsoleLock();

}  // namespace tovo
