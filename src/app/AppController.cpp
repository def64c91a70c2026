#include "app/AppController.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace tovo {
namespace {

double epochSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

AppController::AppController(Parts parts) : p(std::move(parts)) {
    p.ui.onAction = [this](const std::string& name, const std::string& argument) { action(name, argument); };
    p.ui.onMenuOpened = [this] { menuOpened(); };
    p.ui.onPairingButton = [this] { pairingButton(); };
    p.ui.onPairingClosed = [this] { pairingClosed(); };
    p.ui.onTrayHost = [this](bool present) {
        if (present == trayHost) return;
        // The first report without a host, and every change after it, are worth a line.
        if (!present) {
            p.log.write(
                "no tray host (StatusNotifier watcher) on the session bus: the icon is not shown until one "
                "starts; the service runs anyway");
        } else if (trayHost.has_value()) {
            p.log.write("a tray host appeared: the icon is shown");
        }
        trayHost = present;
    };
}

AppController::~AppController() {
    if (pairingTimer) p.loop.cancel(*pairingTimer);
    p.supervisor.onChange = nullptr;
    p.monitor.onUpdate = nullptr;
}

void AppController::start() {
    p.log.write("Tovo Control " + p.version + " (api 1) on " + p.paths.socketPath());
    p.supervisor.onChange = [this] {
        p.monitor.refresh();
        redraw();
    };
    p.monitor.onUpdate = [this](const std::optional<ServiceStatus>& status) { statusChanged(status); };
    p.supervisor.start();
    p.monitor.start();
    p.loginItem.registerOnFirstRun(p.log);
    p.updater.start();
    redraw();
}

void AppController::shutdown() {
    p.supervisor.shutdown(3.0);
    p.log.write("quit");
}

MenuInputs AppController::inputs() const {
    MenuInputs in;
    in.version = p.version;
    in.build = p.build;
    in.supervisor = p.supervisor.state();
    in.lastExit = p.supervisor.lastExit();
    in.now = p.loop.now();
    in.status = p.monitor.latest();
    in.remote = p.monitor.remote();
    if (p.loginItem.eligible()) in.loginItem = p.loginItem.enabled();
    in.updater = p.updater.running();
    return in;
}

void AppController::redraw() {
    MenuInputs in = inputs();
    p.ui.show(StatusMenu::iconName(in.status, in.remote), "Tovo Control · " + StatusMenu::stateLine(in, p.texts),
              StatusMenu::items(in, p.texts));
}

void AppController::statusChanged(const std::optional<ServiceStatus>& status) {
    const auto& remote = p.monitor.remote();
    bool busy = pairingActive || (remote && (remote->anyConnected() || remote->pairing));
    if (status && p.supervisor.state().kind == ServiceSupervisor::State::Kind::running) {
        double uptime = p.loop.now() - p.supervisor.startedAt();
        if (grants.due(status->screenRecording, busy, uptime)) {
            p.supervisor.restart("Screen Recording is still missing (a new grant shows only in a new process)", false);
        }
    }
    p.updater.statusChanged(busy || (status && status->automationActive));
    redraw();
}

void AppController::menuOpened() {
    grants.reset();
    p.monitor.refresh();
}

void AppController::action(const std::string& name, const std::string& argument) {
    const Texts& L = p.texts;
    if (name == "requestPermissions") {
        grants.reset();
        p.monitor.requestPermissions();
    } else if (name == "restartService") {
        p.supervisor.restart("asked from the menu", true);
    } else if (name == "disconnectRemote") {
        remoteCall("POST", "/remote/disconnect", std::nullopt, [this](auto) { p.monitor.refresh(); });
    } else if (name == "toggleRemote") {
        const auto& remote = p.monitor.remote();
        bool enabled = remote && remote->enabled;
        if (enabled && pairingActive) p.ui.closePairing();
        remoteCall("POST", "/remote/enabled", nlohmann::json{{"enabled", !enabled}}.dump(),
                   [this, enabled](auto answer) {
                       if (answer) p.log.write(enabled ? "remote access off" : "remote access on");
                       p.monitor.refresh();
                   });
    } else if (name == "removeDevice") {
        std::string deviceName = argument;
        if (const auto& remote = p.monitor.remote()) {
            for (const auto& d : remote->devices) {
                if (d.id == argument) deviceName = d.name;
            }
        }
        bool yes = p.ui.confirm(L("Remove “" + deviceName + "”?", "移除“" + deviceName + "”？"),
                                L("It is disconnected at once and has to be paired again to reach this computer.",
                                  "它会立即断开，要再次配对才能连接这台电脑。"),
                                L("Remove", "移除"), L("Cancel", "取消"));
        if (!yes) return;
        remoteCall("POST", "/remote/devices/remove", nlohmann::json{{"id", argument}}.dump(),
                   [this, deviceName](auto answer) {
                       if (answer) p.log.write("removed paired device " + deviceName);
                       p.monitor.refresh();
                   });
    } else if (name == "toggleDevicePermission") {
        // "<device id> <permission>": flips what the menu showed.
        auto space = argument.find(' ');
        if (space == std::string::npos) return;
        std::string id = argument.substr(0, space), key = argument.substr(space + 1);
        const auto& remote = p.monitor.remote();
        if (!remote) return;
        for (const auto& d : remote->devices) {
            if (d.id != id) continue;
            bool on = key == "control" ? d.control : key == "clipboard" ? d.clipboard : d.audio;
            remoteCall("POST", "/remote/devices/permissions", nlohmann::json{{"id", id}, {key, !on}}.dump(),
                       [this](auto) { p.monitor.refresh(); });
        }
    } else if (name == "toggleLoginItem") {
        bool on = !p.loginItem.enabled();
        try {
            p.loginItem.set(on);
            p.log.write(on ? "login item on" : "login item off");
        } catch (const std::exception& error) {
            p.log.write(std::string("login item: ") + error.what());
            p.ui.alert(error.what());
        }
        redraw();
    } else if (name == "checkForUpdates") {
        p.updater.checkNow();
    } else if (name == "showPairing") {
        showPairing();
    } else if (name == "showLog") {
        p.ui.open(p.log.path());
    } else if (name == "quit") {
        p.loop.quit();
    }
}

void AppController::remoteCall(const std::string& method, const std::string& path,
                               const std::optional<std::string>& body,
                               std::function<void(std::optional<RemoteStatus>)> done) {
    std::weak_ptr<AppController*> weak = self;
    AppLoop* loop = &p.loop;
    p.remoteCalls->post([weak, loop, request = p.request, method, path, body, done = std::move(done)] {
        std::optional<RemoteStatus> status;
        try {
            auto answer = request(method, path, body, 3.0);
            status = RemoteStatus::fromAnswer(answer.status, answer.body);
        } catch (const std::exception&) {}
        loop->post([weak, status, done] {
            if (weak.lock()) done(status);
        });
    });
}

void AppController::showPairing() {
    if (pairingActive) {
        p.ui.presentPairing();
        return;
    }
    pairingActive = true;
    pairing = {};
    if (const auto& remote = p.monitor.remote()) {
        for (const auto& d : remote->devices) pairing.before.insert(d.id);
    }
    renderPairing(std::nullopt);
    remoteCall("POST", "/remote/pairing", std::nullopt, [this](auto status) { renderPairing(status); });
    std::weak_ptr<AppController*> weak = self;
    pairingTimer = p.loop.every(1.0, [weak] {
        auto s = weak.lock();
        if (!s) return;
        (*s)->remoteCall("GET", "/remote", std::nullopt, [s = *s](auto status) { s->renderPairing(status); });
    });
}

void AppController::renderPairing(const std::optional<RemoteStatus>& status) {
    if (!pairingActive) return;  // closed meanwhile
    auto view = PairingView::render(status, pairing, epochSeconds(), p.texts);
    if (!view) return;
    pairingButtonKind = view->button;
    p.ui.showPairing(*view, p.texts("Pair iPhone", "配对 iPhone"));
}

void AppController::pairingButton() {
    if (pairingButtonKind == PairingView::Button::newCode) {
        remoteCall("POST", "/remote/pairing", std::nullopt, [this](auto status) { renderPairing(status); });
        return;
    }
    p.ui.closePairing();
}

void AppController::pairingClosed() {
    if (pairingTimer) p.loop.cancel(*pairingTimer);
    pairingTimer.reset();
    pairingActive = false;
    remoteCall("POST", "/remote/pairing/stop", std::nullopt, [this](auto) {
        p.monitor.refresh();
        redraw();
    });
}

}  // namespace tovo
