#pragma once

#include "input/InputInjector.h"

#include <memory>

namespace tovo {

// Input through wlr-virtual-pointer and virtual-keyboard on a Wayland connection of its
// own, with a keymap this process uploads (XkbKeymap), so that any text can be typed.
// Calls wait for the connection (and throw MissingProtocol when the compositor lacks
// either protocol).
std::unique_ptr<InputInjector> makeWlrootsInputInjector();

}  // namespace tovo
