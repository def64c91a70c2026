#pragma once

#include "clipboard/Pasteboard.h"

#include <memory>

namespace tovo {

// The X11 CLIPBOARD selection as a Pasteboard: a thread with its own connection and a
// hidden window, counting owner changes from XFixes, reading with INCR for large
// transfers (2 s without progress gives up), and owning the selection for writes until
// another client takes it.
std::unique_ptr<Pasteboard> makeX11Clipboard();

}  // namespace tovo
