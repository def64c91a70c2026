#pragma once

#include "input/InputInjector.h"

#include <memory>

namespace tovo {

// Input through XTEST on a connection of its own.
std::unique_ptr<InputInjector> makeXTestInputInjector();

}  // namespace tovo
