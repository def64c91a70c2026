// GET /status, GET /events and POST /permissions/request.
#include "api/Endpoints.h"
#include "clipboard/Clipboard.h"
#include "http/HTTPError.h"
#include "http/ServerIdentity.h"

#include <algorithm>

namespace tovo::Endpoints {

nlohmann::json status(const Deps& deps, const HTTPRequest& request) {
    bool loggedIn = deps.desktop.session.reachable();
    nlohmann::json displays = nlohmann::json::array();
    if (loggedIn) {
        for (const auto& display : deps.desktop.displays.active()) displays.push_back(display.json());
    }
    nlohmann::json object{{"ok", !displays.empty()},
                          {"session", {{"loggedIn", loggedIn}}},
                          {"screenRecording", deps.desktop.session.canCaptureScreen()},
                          {"accessibility", deps.desktop.session.canInjectInput()},
                          {"displays", displays},
                          {"platform", deps.desktop.platform}};
    if (displays.empty()) object["error"] = loggedIn ? "this session has no display attached" : noSessionText;
    auto snapshot = deps.desktop.tracker.snapshot();
    nlohmann::json states = nlohmann::json::array();
    for (const auto& state : snapshot.states) states.push_back(state.json());
    object["states"] = states;
    object["console"] = snapshot.console ? nlohmann::json{{"locked", snapshot.console->locked}} : nlohmann::json();
    if (deps.features.automation) {
        AutomationCore automation = deps.features.automation->core();
        object["automation"] = automation.json();
        object["agentControl"] = automation.json(false);
    }
    object["control"] = deps.control.remoteControl.json();
    if (request.remote && deps.features.remote) {
        for (const auto& device : deps.features.remote->devices().list()) {
            if (device.id == request.remote->id) object["device"] = device.json();
        }
    }
    object.update(ServerIdentity::json());
    return object;
}

void requestPermissions(const Deps& deps, HTTPRequest&, Connection& connection) {
    // Nothing prompts on X11: the answer is the current state.
    connection.json(200, {{"ok", true},
                          {"screenRecording", deps.desktop.session.canCaptureScreen()},
                          {"accessibility", deps.desktop.session.canInjectInput()}});
}

void events(const Deps& deps, HTTPRequest&, Connection& connection) {
    using Clock = std::chrono::steady_clock;
    ScreenStateTracker& tracker = deps.desktop.tracker;
    const auto pingInterval = deps.eventPing;
    if (!connection.writeHead(200, {{"Content-Type", "application/x-ndjson"}, {"Cache-Control", "no-cache"}}, false)) {
        return;
    }
    auto send = [&](const std::string& line) { return connection.transport->send(line); };

    // Only lines posted after this moment are sent; the clipboard is read first, so that a
    // change it finds goes out below, once.
    if (deps.features.clipboard) deps.features.clipboard->poll();
    auto seen = tracker.snapshot();
    uint64_t lastPosted = seen.postedSeq;
    if (!send(ScreenStateTracker::eventLine(seen.states, seen.console))) return;
    if (deps.features.clipboard) {
        ClipboardItem item = deps.features.clipboard->latest();
        if (item.kind != "empty" && !send(Clipboard::eventLine(item))) return;
    }
    auto lastWrite = Clock::now();
    if (connection.peerClosed()) return;

    for (;;) {
        auto deadline = std::min(lastWrite + pingInterval, Clock::now() + std::chrono::seconds(1));
        if (!tracker.waitForChange(seen.version, deadline)) return;
        auto now = tracker.snapshot();
        if (now.version == seen.version) {
            if (Clock::now() - lastWrite >= pingInterval) {
                if (!send(ScreenStateTracker::pingLine)) return;
                lastWrite = Clock::now();
            }
        } else {
            if (now.stateVersion != seen.stateVersion &&
                !send(ScreenStateTracker::eventLine(now.states, now.console))) {
                return;
            }
            for (const auto& [seq, line] : tracker.posted(lastPosted)) {
                if (!send(line)) return;
                lastPosted = seq;
            }
            seen = now;
            lastWrite = Clock::now();
        }
        if (connection.peerClosed()) return;
    }
}

void automation(const Deps& deps, HTTPRequest& request, Connection& connection) {
    if (!deps.features.automation) throw HTTPError(503, "automation is not available in this process");
    auto asked = Automation::parse(request.body);
    nlohmann::json answer = deps.features.automation->set(asked.active, asked.label).json();
    answer["ok"] = true;
    connection.json(200, answer);
}

}  // namespace tovo::Endpoints
