#pragma once

// The endpoints of the API, one family per file; Api.cpp puts them in the route table.
#include "api/Api.h"
#include "http/Connection.h"
#include "http/HTTPRequest.h"

#include <nlohmann/json.hpp>

namespace tovo::Endpoints {

using Deps = ApiDependencies;

// StatusEndpoints.cpp
// The /status object; for a paired device's request also "device" with its permissions.
nlohmann::json status(const Deps& deps, const HTTPRequest& request);
void events(const Deps& deps, HTTPRequest& request, Connection& connection);
void requestPermissions(const Deps& deps, HTTPRequest& request, Connection& connection);
// POST /automation and POST /agent-control.
void automation(const Deps& deps, HTTPRequest& request, Connection& connection);

// CaptureEndpoints.cpp
void frame(const Deps& deps, HTTPRequest& request, Connection& connection);
void windowScreenshot(const Deps& deps, HTTPRequest& request, Connection& connection);
// GET /settle: waits until nothing changed on a display for quietMs, or timeoutMs passed.
void settle(const Deps& deps, HTTPRequest& request, Connection& connection);
// Plans a filtered picture of `display` from a fresh window catalog each time it is asked.
FilterPlanner filterPlanner(const Deps& deps, uint32_t display, const FrameFilter& filter);

// DesktopEndpoints.cpp
void windows(const Deps& deps, HTTPRequest& request, Connection& connection);
void hit(const Deps& deps, HTTPRequest& request, Connection& connection);
// GET /cursor: where the pointer is, in fractions of a display.
void cursor(const Deps& deps, HTTPRequest& request, Connection& connection);
void appWindows(const Deps& deps, HTTPRequest& request, Connection& connection);
void appAX(const Deps& deps, HTTPRequest& request, Connection& connection);
void focus(const Deps& deps, HTTPRequest& request, Connection& connection);
// POST /app/ax/press, /app/ax/focus, /app/ax/value: an action on an element /app/ax listed.
void axPress(const Deps& deps, HTTPRequest& request, Connection& connection);
void axFocus(const Deps& deps, HTTPRequest& request, Connection& connection);
void axValue(const Deps& deps, HTTPRequest& request, Connection& connection);

// InputEndpoint.cpp
void input(const Deps& deps, HTTPRequest& request, Connection& connection);

// StreamEndpoints.cpp
void stream(const Deps& deps, HTTPRequest& request, Connection& connection);
void streamAck(const Deps& deps, HTTPRequest& request, Connection& connection);

// AudioEndpoints.cpp
void audio(const Deps& deps, HTTPRequest& request, Connection& connection);
void audioStats(const Deps& deps, HTTPRequest& request, Connection& connection);
// TOVO_AUDIO (or KILN_AUDIO) set to off, 0, false or no turns audio off.
bool audioEnabled(const std::function<const char*(const char*)>& environment);

// ClipboardEndpoints.cpp
void clipboardGet(const Deps& deps, HTTPRequest& request, Connection& connection);
void clipboardPost(const Deps& deps, HTTPRequest& request, Connection& connection);
void clipboardImage(const Deps& deps, HTTPRequest& request, Connection& connection);
void clipboardFile(const Deps& deps, HTTPRequest& request, Connection& connection);

// WebClientEndpoint.cpp: answers a GET for one of the browser client's files ("/" is its
// page); false when the path names none.
extern const char* const webClientPolicy;  // the Content-Security-Policy it is served under
bool webClient(const HTTPRequest& request, Connection& connection);

// RemoteEndpoints.cpp
void control(const Deps& deps, HTTPRequest& request, Connection& connection);
void remoteState(const Deps& deps, HTTPRequest& request, Connection& connection);
void remotePairing(const Deps& deps, HTTPRequest& request, Connection& connection);
void remotePairingStop(const Deps& deps, HTTPRequest& request, Connection& connection);
void remoteEnabled(const Deps& deps, HTTPRequest& request, Connection& connection);
void remoteRemove(const Deps& deps, HTTPRequest& request, Connection& connection);
void remotePermissions(const Deps& deps, HTTPRequest& request, Connection& connection);
void remoteDisconnect(const Deps& deps, HTTPRequest& request, Connection& connection);
// POST /pair, answered by the remote listener before any token is asked for.
// `peer` is the address the request came from (wrong codes are counted per address).
void pair(RemoteAccess& remote, HTTPRequest& request, Connection& connection, const std::string& peer);

}  // namespace tovo::Endpoints
