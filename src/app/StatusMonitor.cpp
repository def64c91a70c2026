#include "app/StatusMonitor.h"

#include "base/Json.h"

namespace tovo {

StatusMonitor::StatusMonitor(Requester request, AppLoop& loop, std::shared_ptr<TaskQueue> queue)
    : request(std::move(request)), loop(loop), queue(std::move(queue)) {}

StatusMonitor::~StatusMonitor() {
    if (timer) loop.cancel(*timer);
}

StatusMonitor::Requester StatusMonitor::over(const std::string& socketPath) {
    return [socketPath](const std::string& method, const std::string& path, const std::optional<std::string>& body,
                        double timeout) { return UnixHTTP::request(socketPath, method, path, body, timeout); };
}

void StatusMonitor::start() {
    std::weak_ptr<StatusMonitor*> weak = self;
    timer = loop.every(interval, [weak] {
        if (auto s = weak.lock()) (*s)->refresh();
    });
    refresh();
}

void StatusMonitor::refresh() {
    if (inFlight) return;
    inFlight = true;
    std::weak_ptr<StatusMonitor*> weak = self;
    AppLoop* mainLoop = &loop;
    queue->post([weak, mainLoop, request = request] {
        std::optional<ServiceStatus> status;
        std::optional<RemoteStatus> remote;
        try {
            auto answer = request("GET", "/status", std::nullopt, 2.0);
            // /status answers 200 in every state; whatever carries a JSON object counts.
            if (auto json = parseJson(answer.body); json && json->is_object()) status = ServiceStatus::from(*json);
        } catch (const std::exception&) {}
        if (status) {
            try {
                auto answer = request("GET", "/remote", std::nullopt, 2.0);
                remote = RemoteStatus::fromAnswer(answer.status, answer.body);
            } catch (const std::exception&) {}
        }
        mainLoop->post([weak, status, remote] {
            auto s = weak.lock();
            if (!s) return;
            StatusMonitor& me = **s;
            me.status = status;
            me.remoteStatus = remote;
            me.inFlight = false;
            if (me.onUpdate) me.onUpdate(me.status);
        });
    });
}

void StatusMonitor::requestPermissions() {
    queue->post([request = request] {
        try {
            request("POST", "/permissions/request", std::string("{}"), 3.0);
        } catch (const std::exception&) {}
    });
}

}  // namespace tovo
