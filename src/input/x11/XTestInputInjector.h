#pragma once

#include "input/InputInjector.h"
#include "input/OwnKeyPresses.h"

#include <memory>

namespace tovo {

// Input through XTEST on a connection of its own. Every key press is noted in `own` (which
// must outlive the injector; none: not noted) before it is posted.
std::unique_ptr<InputInjector> makeXTestInputInjector(OwnKeyPresses* own);

}  // namespace tovo
