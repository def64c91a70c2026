#pragma once

#include "http/HTTPServer.h"
#include "service/ConsoleWatch.h"
#include "service/ScreenState.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tovo {

// The one object a service process builds: it owns the local HTTP listener and the
// components that feed it, starts them in a fixed order and reports a dead listener.
//
// Threads: start() and stop() may be called from any thread; `onFatal` is called on the
// accept thread. Create it with std::make_shared (the listener's fatal hook holds it weakly).
class ScreenService : public std::enable_shared_from_this<ScreenService> {
public:
    // Builds and wires everything; starts no thread, timer or listener.
    ScreenService(std::string socketPath, std::optional<std::string> remoteHome);

    // Listens on the socket and starts the components. Throws ScreenServiceError; does
    // nothing while a listener is running.
    void start();
    // Stops what start() started.
    void stop();
    // A listener is running.
    bool isRunning();
    // The running listener, if any.
    std::shared_ptr<HTTPServer> server();

    const std::string socketPath;
    // Where the remote listener keeps its settings, devices and identity; present with
    // --remote. The remote-access component is built from it.
    const std::optional<std::string> remoteHome;

    // Called with the listener's message when it dies at run time. Set before start().
    std::function<void(const std::string&)> onFatal;
    // Whether start() measures the video encoders in the background (tests of the service
    // alone turn it off). Set before start().
    bool calibrateEncoders = true;

    const std::shared_ptr<ScreenStateTracker> stateTracker;
    const std::shared_ptr<ConsoleWatcher> consoleWatcher;

private:
    std::mutex lock;  // guards listener
    std::shared_ptr<HTTPServer> listener;
};

}  // namespace tovo
