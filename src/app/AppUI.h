#pragma once

#include "app/PairingView.h"
#include "app/StatusMenu.h"

#include <functional>
#include <string>
#include <vector>

namespace tovo {

// What the user sees of the app: the tray icon with its menu, the pairing window and
// dialogs. The controller decides every text and item; the UI only draws them and reports
// the user's choices through the callbacks.
//
// Threads: the app loop's main thread.
class AppUI {
public:
    virtual ~AppUI() = default;

    // The icon (a freedesktop name), its tooltip, and the menu's items.
    virtual void show(const std::string& icon, const std::string& tooltip, const std::vector<MenuItem>& menu) = 0;
    // Opens the pairing window with `view`, or shows `view` in the open one.
    virtual void showPairing(const PairingView& view, const std::string& windowTitle) = 0;
    // Brings the open pairing window to the front.
    virtual void presentPairing() = 0;
    virtual void closePairing() = 0;
    // A question with two buttons; true for the first.
    virtual bool confirm(const std::string& message, const std::string& detail, const std::string& yes,
                         const std::string& no) = 0;
    virtual void alert(const std::string& message) = 0;
    // Opens a file with the desktop's default application.
    virtual void open(const std::string& path) = 0;

    std::function<void(const std::string& action, const std::string& argument)> onAction;
    std::function<void()> onMenuOpened;
    std::function<void()> onPairingButton;
    std::function<void()> onPairingClosed;  // the window was closed, by the user or by closePairing()
    // Whether a tray host (a StatusNotifier watcher) is there to show the icon: once soon
    // after start, then on each change.
    std::function<void(bool present)> onTrayHost;
};

}  // namespace tovo
