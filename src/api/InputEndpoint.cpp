// POST /input: one mouse, keyboard or scroll event.
#include "api/Endpoints.h"
#include "http/HTTPError.h"

namespace tovo::Endpoints {

void input(const Deps& deps, HTTPRequest& request, Connection& connection) {
    // Whoever holds control of the screen is asked first.
    std::optional<RemoteControl::Device> device;
    if (request.remote) device = RemoteControl::Device{request.remote->id, request.remote->name};
    deps.control.remoteControl.admitInput(device);
    InputEvent event = InputEvent::decode(request.body);
    if (deps.control.input.isStale(event)) {
        connection.json(200, {{"ok", true}, {"stale", true}});
        return;
    }
    Input::Action action = deps.control.input.plan(event, [&connection] { return connection.peerClosed(); });
    if (!deps.desktop.session.canInjectInput()) throw HTTPError(403, noInputText);
    deps.control.input.perform(event, action);
    // Streams that draw the pointer on the client follow injected input at once.
    if (auto at = event.pointerAfter(); at && deps.cursor.trackers && deps.cursor.trackers->anyRunning()) {
        try {
            deps.cursor.trackers->notePointerAt(at->first, at->second, deps.desktop.displays.resolve(event.display));
        } catch (const DisplayError&) {}
    }
    connection.json(200, {{"ok", true}});
}

}  // namespace tovo::Endpoints
