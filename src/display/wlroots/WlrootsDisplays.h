#pragma once

#include "display/DisplaySource.h"

#include <memory>

namespace tovo {
namespace wayland {
class SharedConnection;
}

// The compositor's outputs (wl_output with xdg-output's logical layout), asked over
// `connection`, which must outlive the source.
std::unique_ptr<DisplaySource> makeWlrootsDisplaySource(wayland::SharedConnection& connection);

}  // namespace tovo
