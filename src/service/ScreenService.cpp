#include "service/ScreenService.h"

#include "base/Clock.h"
#include "capture/Displays.h"
#include "service/Router.h"
#include "service/ScreenPermissions.h"
#include "service/ScreenHost.h"
#include "service/ScreenServiceError.h"
#include "service/SessionInfo.h"
#include "video/VideoEncoder.h"

namespace tovo {

namespace {

std::shared_ptr<ConsoleWatcher> makeConsoleWatcher(const std::shared_ptr<ScreenStateTracker>& tracker) {
    std::weak_ptr<ScreenStateTracker> weakTracker = tracker;
    return std::make_shared<ConsoleWatcher>(
        ConsoleWatcher::defaultReader(), monotonicSeconds,
        [weakTracker](ConsoleState from, ConsoleState to) {
            ScreenHost::logSink(std::string("console changed (") + from.description() + " \u2192 " + to.description() + ")");
            if (auto tracker = weakTracker.lock()) tracker->setNeedsRefresh();
        });
}

// The main display's id, or 0 when there is none.
uint32_t mainDisplayId() {
    for (const auto& display : Displays::active()) {
        if (display.main) return display.id;
    }
    return 0;
}

}  // namespace

// Still to join the service, each in its own change: remote access (built from remoteHome,
// started after the listener, stopped first) and the clipboard monitor (its changes bump the
// tracker's version; started only with a login session at start).
ScreenService::ScreenService(std::string socketPath, std::optional<std::string> remoteHome)
    : socketPath(std::move(socketPath)),
      remoteHome(std::move(remoteHome)),
      stateTracker(std::make_shared<ScreenStateTracker>()),
      consoleWatcher(makeConsoleWatcher(stateTracker)) {
    std::weak_ptr<ConsoleWatcher> weakWatcher = consoleWatcher;
    stateTracker->setInputs([weakWatcher] {
        ScreenStateInputs inputs;
        inputs.loggedIn = SessionInfo::current();
        inputs.screenRecording = inputs.loggedIn && ScreenPermissions::screenRecording();
        inputs.mainDisplay = inputs.loggedIn ? mainDisplayId() : 0;
        if (auto watcher = weakWatcher.lock()) inputs.console = watcher->settled();
        return inputs;
    });
    stateTracker->setOnPublish(nullptr);
}

void ScreenService::start() {
    std::lock_guard<std::mutex> guard(lock);
    if (listener) return;

    bool loggedIn = SessionInfo::current();
    ScreenHost::logSink(std::string("session: loggedIn=") + (loggedIn ? "true" : "false"));

    std::shared_ptr<HTTPServer> created;
    try {
        created = HTTPServer::create(socketPath, Router::handle);
    } catch (const HTTPError& error) {
        throw ScreenServiceError("cannot listen on " + socketPath + ": " + error.message);
    }
    std::weak_ptr<ScreenService> weakSelf = weak_from_this();
    std::weak_ptr<HTTPServer> weakServer = created;
    created->onFatal = [weakSelf, weakServer](const std::string& message) {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> guard(self->lock);
            if (self->listener && self->listener == weakServer.lock()) self->listener.reset();
        }
        if (self->onFatal) self->onFatal(message);
    };

    consoleWatcher->start();
    stateTracker->start();
    created->start();
    listener = created;
    ScreenHost::logSink("listening on " + socketPath);
    // Measured now so that the first stream does not wait for it.
    if (calibrateEncoders) VideoEncoder::calibrateInBackground();
}

void ScreenService::stop() {
    std::shared_ptr<HTTPServer> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        taken = std::move(listener);
        listener.reset();
    }
    consoleWatcher->stop();
    stateTracker->stop();
    if (taken) taken->stop();
    ScreenHost::logSink("stopped");
}

bool ScreenService::isRunning() {
    std::lock_guard<std::mutex> guard(lock);
    return listener != nullptr;
}

std::shared_ptr<HTTPServer> ScreenService::server() {
    std::lock_guard<std::mutex> guard(lock);
    return listener;
}

}  // namespace tovo
