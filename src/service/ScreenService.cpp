#include "service/ScreenService.h"

#include "api/Endpoints.h"
#include "base/Language.h"
#include "base/Log.h"
#include "base/Mutex.h"
#include "service/ScreenServiceError.h"

#include <unistd.h>

#include <cstdlib>

namespace tovo {
namespace {

const char* environment(const char* name) { return std::getenv(name); }

}  // namespace

ServiceSettings ServiceSettings::fromEnvironment(std::string socketPath, std::optional<std::string> remoteHome) {
    ServiceSettings settings;
    settings.socketPath = std::move(socketPath);
    settings.remoteHome = std::move(remoteHome);
    if (const char* layout = environment("TOVO_X11_MONITORS"); layout && *layout) settings.monitorLayout = layout;
    settings.streams = StreamSettings::fromEnvironment(environment);
    settings.audioEnabled = Endpoints::audioEnabled(environment);
    return settings;
}

namespace {

// Stand-ins where the platform has no banner or keyboard watcher.
class NoAutomationOverlay final : public AutomationOverlay {
public:
    void show(const std::string&) override {}
    void hide() override {}
};

class NoEscapeTap final : public EscapeTap {
public:
    std::optional<std::string> install(std::function<void()>) override {
        return std::string("no keyboard watcher here");
    }
    void remove() override {}
};

}  // namespace

ScreenService::ScreenService(ServiceSettings serviceSettings, Platform backends)
    : settings(std::move(serviceSettings)),
      platform(std::move(backends)),
      tracker(std::make_shared<ScreenStateTracker>()),
      displays(*platform.displays, settings.monitorLayout),
      stills(displays, platform.makeCapturer),
      holds(monotonicSeconds),
      input(*platform.injector, displays, holds),
      encoders(platform.makeEncoderSession),
      control(RemoteControl::Clocks{}, std::make_shared<SerialTaskQueue>("tovo-control.control")) {
    wireScreenState();
    wireControl();
    if (platform.pasteboard) wireClipboard();
    if (settings.remoteHome) wireRemote();
    if (platform.makeAudioSource) wireAudio();
    wireAutomation();
    buildApi();
}

void ScreenService::wireScreenState() {
    std::weak_ptr<ScreenStateTracker> weakTracker = tracker;
    consoleWatcher = std::make_shared<ConsoleWatcher>(
        ConsoleWatcher::readerOf(*platform.consoleLock), monotonicSeconds,
        [weakTracker](ConsoleState from, ConsoleState to) {
            log(std::string("console changed (") + from.description() + " \u2192 " + to.description() + ")");
            if (auto t = weakTracker.lock()) t->setNeedsRefresh();
        });
    std::weak_ptr<ConsoleWatcher> weakWatcher = consoleWatcher;
    DesktopSession& session = *platform.session;
    Displays& screens = displays;
    tracker->setInputs([&session, &screens, weakWatcher] {
        ScreenStateInputs inputs;
        inputs.loggedIn = session.reachable();
        inputs.screenRecording = inputs.loggedIn && session.canCaptureScreen();
        if (inputs.loggedIn) {
            for (const auto& display : screens.active()) {
                if (display.main) inputs.mainDisplay = display.id;
            }
        }
        if (auto watcher = weakWatcher.lock()) inputs.console = watcher->settled();
        return inputs;
    });
}

void ScreenService::wireControl() {
    std::weak_ptr<ScreenStateTracker> weakTracker = tracker;
    PointerHolds& held = holds;
    control.liftHeldButtons = [&held](const std::string& reason) { held.releaseAll(reason); };
    control.postEvent = [weakTracker](const std::string& line) {
        if (auto t = weakTracker.lock()) t->post(line);
    };
}

void ScreenService::wireClipboard() {
    std::weak_ptr<ScreenStateTracker> weakTracker = tracker;
    clipboard = std::make_unique<ClipboardMonitor>(*platform.pasteboard,
                                                   std::make_shared<SerialTaskQueue>("tovo-control-clipboard"));
    ClipboardMonitor* monitor = clipboard.get();
    clipboard->onChange = [weakTracker, monitor] {
        if (auto t = weakTracker.lock()) t->post(Clipboard::eventLine(monitor->latest()));
    };
}

void ScreenService::wireRemote() {
    remote = std::make_unique<RemoteAccess>(RemoteAccess::Dependencies{
        *settings.remoteHome, *platform.crypto, control, platform.makeListener,
        platform.makeAdvertiser ? platform.makeAdvertiser() : nullptr,
        std::make_shared<SerialTaskQueue>("tovo-control.remote"), monotonicSeconds, wallSeconds, platform.addresses,
        platform.makeNotifier ? platform.makeNotifier() : nullptr});
}

void ScreenService::wireAudio() {
    audio = std::make_unique<AudioCaptures>(platform.makeAudioSource, captureLatency,
                                            std::make_shared<SerialTaskQueue>("tovo-audio-stop"));
    if (platform.makeAudioProbe) {
        audioProbe = platform.makeAudioProbe();
        AudioCaptures* captures = audio.get();
        AudioDeafWatchdog::Hooks hooks;
        hooks.tearDown = [captures](const std::string& reason) { captures->tearDown(reason); };
        // Without a supervisor nobody would start a fresh process: the watchdog then tears
        // the capture down instead.
        if (settings.supervised) {
            hooks.onDeaf = [this] {
                if (onAudioDeaf) onAudioDeaf();
            };
        }
        deafness = std::make_unique<AudioDeafWatchdog>(*audioProbe, hooks,
                                                       std::make_shared<SerialTaskQueue>("tovo-audio-watchdog"),
                                                       "/tmp/tovo-audio-deaf-" + std::to_string(::getuid()));
        audio->setWatchdog(deafness.get());
    }
}

std::function<std::shared_ptr<DisplayPointerTracker>(uint32_t)> ScreenService::pointerTrackerFactory() {
    if (!platform.pointer) return nullptr;
    return [this](uint32_t display) {
        auto bounds = [this, display]() -> std::optional<PointerBounds> {
            try {
                DisplayInfo info = displays.require(display);
                return PointerBounds{static_cast<double>(info.x), static_cast<double>(info.y),
                                     static_cast<double>(info.width), static_cast<double>(info.height)};
            } catch (const DisplayError&) {
                return std::nullopt;
            }
        };
        return std::make_shared<DisplayPointerTracker>(display, bounds, *platform.pointer, cursorShapes,
                                                       std::make_shared<SerialTaskQueue>("tovo-pointer"));
    };
}

void ScreenService::wireAutomation() {
    std::weak_ptr<ScreenStateTracker> weakTracker = tracker;
    if (platform.makeOverlay) {
        overlay = platform.makeOverlay([this] {
            std::vector<PixelRect> rects;
            for (const auto& d : displays.active()) {
                rects.push_back({static_cast<int>(d.x), static_cast<int>(d.y), static_cast<int>(d.width),
                                 static_cast<int>(d.height)});
            }
            return rects;
        });
    } else {
        overlay = std::make_unique<NoAutomationOverlay>();
    }
    if (!platform.escapeTap) platform.escapeTap = std::make_unique<NoEscapeTap>();
    auto environment = [](const char* name) -> const char* { return std::getenv(name); };
    automation = std::make_unique<Automation>(
        *overlay, *platform.escapeTap, std::make_unique<SerialTaskQueue>("tovo-control.automation"),
        [weakTracker](const std::string& line) {
            if (auto t = weakTracker.lock()) t->post(line);
        },
        prefersChinese(environment));
}

void ScreenService::buildApi() {
    ApiDependencies deps{
        .desktop = {*platform.session, displays, *platform.windows, *platform.accessibility, *tracker, platform.name},
        .capture = {stills, platform.makeCapturer, captureLatency},
        .video = {encoders, flows, settings.streams},
        .control = {input, holds, control},
        .cursor = {platform.pointer ? &pointers : nullptr, pointerTrackerFactory(), platform.pointer.get()},
        .features = {remote.get(), clipboard.get(), audio.get(), settings.audioEnabled, automation.get()},
    };
    endpoints = std::make_unique<Api>(std::move(deps));
    if (remote) {
        const Api* api = endpoints.get();
        remote->serveConnection = [api](uint64_t id, std::unique_ptr<SecureStream> stream) {
            api->serveRemote(id, std::move(stream));
        };
    }
}

ScreenService::~ScreenService() {
    stop();
    // The watchdog's ticks reach the captures and the captures the watchdog: unhook them,
    // then end the watchdog's thread before the captures go.
    if (audio) audio->setWatchdog(nullptr);
    deafness.reset();
}

void ScreenService::start() {
    MutexLock guard(lock);
    if (listener) return;

    log("platform: " + platform.name);
    log(std::string("session: loggedIn=") + (platform.session->reachable() ? "true" : "false"));

    std::unique_ptr<HTTPServer> created;
    try {
        const Api* api = endpoints.get();
        created = HTTPServer::create(
            settings.socketPath,
            [api](HTTPRequest& request, Connection& connection) { api->handle(request, connection); },
            [api](const HTTPRequest& request) { return api->router().bodyLimit(request); });
    } catch (const HTTPError& error) {
        throw ScreenServiceError("cannot listen on " + settings.socketPath + ": " + error.message);
    }
    if (onBound) onBound(created->socketFile);
    created->onFatal = [this](const std::string& message) {
        if (onFatal) onFatal(message);
    };

    consoleWatcher->start();
    tracker->start();
    if (clipboard) clipboard->start();
    // Its identity is loaded before the first local client can ask for a pairing code.
    if (remote) remote->start();
    created->start();
    listener = std::move(created);
    log("listening on " + settings.socketPath);
    // Measured now so that the first stream does not wait for it.
    if (settings.calibrateEncoders) encoders.calibrateInBackground();
}

void ScreenService::stop() {
    std::unique_ptr<HTTPServer> taken;
    {
        MutexLock guard(lock);
        taken = std::move(listener);
    }
    if (remote) remote->stop();
    if (clipboard) clipboard->stop();
    if (audio) audio->stopAll();
    consoleWatcher->stop();
    tracker->stop();
    if (!taken) return;
    taken->stop();
    log("stopped");
}

bool ScreenService::isRunning() {
    MutexLock guard(lock);
    return listener != nullptr;
}

}  // namespace tovo
