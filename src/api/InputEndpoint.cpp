// POST /input: one mouse, keyboard or scroll event.
#include "api/Endpoints.h"

#include "http/HTTPError.h"

namespace tovo::Endpoints {

void input(const Deps& deps, HTTPRequest& request, Connection& connection) {
    // Whoever holds control of the screen is asked first.
    std::optional<RemoteControl::Device> device;
    if (request.remote) device = RemoteControl::Device{request.remote->id, request.remote->name};
    deps.control.admitInput(device);
    InputEvent event = InputEvent::decode(request.body);
    if (deps.input.isStale(event)) {
        connection.json(200, {{"ok", true}, {"stale", true}});
        return;
    }
    Input::Action action = deps.input.plan(event, [&connection] { return connection.peerClosed(); });
    if (!deps.session.canInjectInput()) throw HTTPError(403, noInputText);
    deps.input.perform(event, action);
    // Streams that draw the pointer on the client follow injected input at once.
    if (auto at = event.pointerAfter(); at && deps.pointers && deps.pointers->anyRunning()) {
        try {
            deps.pointers->notePointerAt(at->first, at->second, deps.displays.resolve(event.display));
        } catch (const DisplayError&) {
        }
    }
    connection.json(200, {{"ok", true}});
}

}  // namespace tovo::Endpoints
