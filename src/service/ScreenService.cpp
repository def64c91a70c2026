#include "service/ScreenService.h"

#include "service/Router.h"
#include "service/ScreenHost.h"
#include "service/ScreenServiceError.h"
#include "service/SessionInfo.h"

namespace tovo {

// Components join the service in this order, each in its own change:
//  construction: remote access (when remoteHome is set), screen-state tracker, clipboard
//    monitor (its changes bump the tracker's version), console watcher (its changes ask
//    the tracker to refresh), then the tracker's inputs;
//  start(): console watcher, state tracker, clipboard monitor (only with a login session at
//    start), the listener, remote access, then the encoder calibration in the background;
//  stop(): remote access, console watcher, clipboard monitor, state tracker, the listener.
ScreenService::ScreenService(std::string socketPath, std::optional<std::string> remoteHome)
    : socketPath(std::move(socketPath)), remoteHome(std::move(remoteHome)) {}

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

    created->start();
    listener = created;
    ScreenHost::logSink("listening on " + socketPath);
}

void ScreenService::stop() {
    std::shared_ptr<HTTPServer> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        taken = std::move(listener);
        listener.reset();
    }
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
