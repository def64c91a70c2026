// The /remote family (local management of remote access), POST /control and POST /pair.
#include "api/Endpoints.h"
#include "api/Query.h"
#include "base/Json.h"
#include "base/Log.h"
#include "http/HTTPError.h"

namespace tovo::Endpoints {
namespace {

// The running remote access for a local management request.
RemoteAccess& management(const Deps& deps, const HTTPRequest& request) {
    if (request.remote) throw HTTPError(404, "no such endpoint " + request.path);
    if (!deps.features.remote) throw HTTPError(404, "remote access is not on in this process (no --remote)");
    return *deps.features.remote;
}

}  // namespace

void remoteState(const Deps& deps, HTTPRequest& request, Connection& connection) {
    connection.json(200, management(deps, request).json());
}

void remotePairing(const Deps& deps, HTTPRequest& request, Connection& connection) {
    RemoteAccess& remote = management(deps, request);
    remote.startPairing();
    connection.json(200, remote.json());
}

void remotePairingStop(const Deps& deps, HTTPRequest& request, Connection& connection) {
    RemoteAccess& remote = management(deps, request);
    remote.stopPairing();
    connection.json(200, remote.json());
}

void remoteEnabled(const Deps& deps, HTTPRequest& request, Connection& connection) {
    RemoteAccess& remote = management(deps, request);
    nlohmann::json body = Query::jsonBody(request);
    auto enabled = body.find("enabled");
    if (enabled == body.end() || !enabled->is_boolean()) throw HTTPError(400, "enabled must be a boolean");
    remote.setEnabled(enabled->get<bool>());
    connection.json(200, remote.json());
}

void remoteRemove(const Deps& deps, HTTPRequest& request, Connection& connection) {
    RemoteAccess& remote = management(deps, request);
    nlohmann::json body = Query::jsonBody(request);
    auto id = body.find("id");
    if (id == body.end() || !id->is_string()) throw HTTPError(400, "id is required");
    if (!remote.removeDevice(id->get<std::string>()))
        throw HTTPError(404, "no paired device " + id->get<std::string>());
    connection.json(200, remote.json());
}

void remotePermissions(const Deps& deps, HTTPRequest& request, Connection& connection) {
    RemoteAccess& remote = management(deps, request);
    nlohmann::json body = Query::jsonBody(request);
    auto id = body.find("id");
    if (id == body.end() || !id->is_string()) throw HTTPError(400, "id is required");
    for (const char* key : {"control", "clipboard", "audio"}) {
        if (body.contains(key) && !body[key].is_boolean())
            throw HTTPError(400, std::string(key) + " must be a boolean");
    }
    std::optional<DevicePermissions> current;
    for (const auto& device : remote.devices().list()) {
        if (device.id == *id) current = device.permissions;
    }
    if (!current || !remote.setPermissions(*id, DevicePermissions::from(body, *current))) {
        throw HTTPError(404, "no paired device " + id->get<std::string>());
    }
    connection.json(200, remote.json());
}

void remoteDisconnect(const Deps& deps, HTTPRequest& request, Connection& connection) {
    RemoteAccess& remote = management(deps, request);
    deps.control.remoteControl.releaseAny("disconnected from the tray menu");
    connection.json(200, remote.json());
}

void control(const Deps& deps, HTTPRequest& request, Connection& connection) {
    if (!request.remote) throw HTTPError(404, "POST /control is for paired devices (the remote listener)");
    std::optional<nlohmann::json> body = parseJson(request.body);
    std::string controller;
    if (body && body->is_object()) {
        auto it = body->find("controller");
        if (it != body->end() && it->is_string()) controller = it->get<std::string>();
    }
    RemoteControl::Device device{request.remote->id, request.remote->name};
    if (controller == "user") {
        deps.control.remoteControl.take(device);
    } else if (controller == "none") {
        deps.control.remoteControl.release(device);
    } else {
        throw HTTPError(400, "controller must be \"user\" or \"none\"");
    }
    connection.json(200, {{"ok", true}, {"control", deps.control.remoteControl.json()}});
}

void pair(RemoteAccess& remote, HTTPRequest& request, Connection& connection, const std::string& peer) {
    const HTTPError shape(400, "body must be { code, device: { id, name } }");
    std::optional<nlohmann::json> body = parseJson(request.body);
    if (!body || !body->is_object()) throw shape;
    auto code = body->find("code"), device = body->find("device");
    if (code == body->end() || !code->is_string() || device == body->end() || !device->is_object()) throw shape;
    auto id = device->find("id"), name = device->find("name");
    if (id == device->end() || !id->is_string()) throw shape;
    std::string givenName = name != device->end() && name->is_string() ? name->get<std::string>() : "";
    RemoteAccess::Paired paired;
    try {
        paired = remote.pair(code->get<std::string>(), id->get<std::string>(), givenName, peer);
    } catch (const PairingBusy& busy) {
        throw HTTPError(429, busy.what());
    } catch (const PairingBackOff& backOff) {
        throw HTTPError(429, backOff.what());
    } catch (const PairError& error) {
        switch (error.kind) {
        case PairError::Kind::badDevice: throw HTTPError(400, error.what());
        case PairError::Kind::full: throw HTTPError(409, "too many paired devices; remove one on the computer first");
        case PairError::Kind::badCode:
            throw HTTPError(403, "the pairing code is wrong or has expired; show a new one on the computer");
        }
        throw;
    }
    log("remote: paired " + paired.device.name);
    connection.json(200, {{"token", paired.token},
                          {"server", {{"id", remote.serverId()}, {"name", remote.hostName()}}},
                          {"device", {{"id", paired.device.id}, {"name", paired.device.name}}}});
}

}  // namespace tovo::Endpoints
