#pragma once

#include "app/AppLoop.h"
#include "app/AppUI.h"

#include <memory>

namespace tovo {

// The app loop on GLib's main context (the thread that calls run()).
class GLibLoop : public AppLoop {
public:
    virtual void run() = 0;
};
std::unique_ptr<GLibLoop> makeGLibLoop();

// Initialises GTK; false when there is no display to show anything on.
bool initGtk();

// The tray icon (a StatusNotifier item through libayatana-appindicator3, its menu exported
// over D-Bus), the pairing window with its QR code (libqrencode) and the dialogs, in GTK 3.
std::unique_ptr<AppUI> makeGtkAppUI();

}  // namespace tovo
