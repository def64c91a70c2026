#pragma once

#include "app/AppLoop.h"
#include "app/AppPaths.h"
#include "app/AppUI.h"
#include "app/LogFile.h"
#include "app/LoginItem.h"
#include "app/PairingView.h"
#include "app/ServiceSupervisor.h"
#include "app/StatusMenu.h"
#include "app/StatusMonitor.h"
#include "app/Texts.h"
#include "app/Updates.h"
#include "base/TaskQueue.h"

#include <memory>
#include <optional>
#include <string>

namespace tovo {

// The tray app's wiring: the supervisor keeps the service running, the monitor reads its
// state, and each change redraws the icon and menu, may restart a service that lacks its
// grant, and lets a waiting update install. Menu choices and the pairing window come back
// here from the UI.
//
// Threads: the loop's main thread; service requests run on `remoteCalls`.
class AppController {
public:
    struct Parts {
        AppPaths paths;
        const LogFile& log;
        AppLoop& loop;
        AppUI& ui;
        ServiceSupervisor& supervisor;
        StatusMonitor& monitor;
        Updater& updater;
        const LoginItem& loginItem;
        StatusMonitor::Requester request;  // to the service's socket
        std::shared_ptr<TaskQueue> remoteCalls;
        Texts texts;
        std::string version;
        std::optional<std::string> build;
    };
    explicit AppController(Parts parts);
    ~AppController();

    // Logs the start line, starts the supervisor, the monitor and the updater, offers the
    // login item.
    void start();
    // Stops the service (at most 3 s) and logs "quit".
    void shutdown();

    void statusChanged(const std::optional<ServiceStatus>& status);
    void action(const std::string& name, const std::string& argument);
    void menuOpened();
    void redraw();

    // The pairing window.
    void showPairing();
    void pairingButton();
    void pairingClosed();

    const GrantRefresh& grantRefresh() const { return grants; }

private:
    // POST/GET one of the /remote routes off the main thread; `done` gets the answer's
    // remote state (none for no answer) on the main thread.
    void remoteCall(const std::string& method, const std::string& path, const std::optional<std::string>& body,
                    std::function<void(std::optional<RemoteStatus>)> done);
    void renderPairing(const std::optional<RemoteStatus>& status);
    MenuInputs inputs() const;

    Parts p;
    GrantRefresh grants;
    PairingView::Progress pairing;
    bool pairingActive = false;    // from showPairing() to the window's closing
    std::optional<bool> trayHost;  // whether a tray host shows the icon; unknown at first
    PairingView::Button pairingButtonKind = PairingView::Button::cancel;
    std::optional<AppLoop::TimerId> pairingTimer;
    std::shared_ptr<AppController*> self = std::make_shared<AppController*>(this);
};

}  // namespace tovo
