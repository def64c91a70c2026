#pragma once

#include "app/AppLoop.h"
#include "app/ServiceStatus.h"
#include "base/TaskQueue.h"
#include "http/UnixHTTPClient.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tovo {

// Watches the service through its API: GET /status, then GET /remote, every 5 s and when
// asked, one refresh at a time, off the main thread.
//
// Threads: start/refresh/requestPermissions and the fields on the loop's main thread; the
// requests run on `queue`.
class StatusMonitor {
public:
    // Sends one request: method, path, JSON body, time-out. Throws on a transport failure.
    using Requester = std::function<UnixHTTP::Response(const std::string&, const std::string&,
                                                       const std::optional<std::string>&, double)>;
    static constexpr double interval = 5.0;

    StatusMonitor(Requester request, AppLoop& loop, std::shared_ptr<TaskQueue> queue);
    ~StatusMonitor();

    void start();
    void refresh();
    // POST /permissions/request; the answer is not needed (the next poll shows it).
    void requestPermissions();

    const std::optional<ServiceStatus>& latest() const { return status; }
    const std::optional<RemoteStatus>& remote() const { return remoteStatus; }
    std::function<void(const std::optional<ServiceStatus>&)> onUpdate;

    // A requester over the service's Unix socket.
    static Requester over(const std::string& socketPath);

private:
    const Requester request;
    AppLoop& loop;
    const std::shared_ptr<TaskQueue> queue;
    std::optional<AppLoop::TimerId> timer;
    bool inFlight = false;
    std::optional<ServiceStatus> status;
    std::optional<RemoteStatus> remoteStatus;
    std::shared_ptr<StatusMonitor*> self = std::make_shared<StatusMonitor*>(this);
};

}  // namespace tovo
