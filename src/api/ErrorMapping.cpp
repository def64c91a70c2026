#include "api/ErrorMapping.h"

#include "base/BadInput.h"
#include "base/MissingProtocol.h"
#include "remote/RemoteControl.h"
#include "session/ScreenState.h"

namespace tovo::ErrorMapping {

HTTPError of(const DisplayError& error, DesktopSession& session) {
    if (error.kind == DisplayError::Kind::noDisplay) {
        return HTTPError(503, session.reachable() ? "this session has no display attached" : noSessionText);
    }
    return HTTPError(404, "unknown display " + std::to_string(error.id));
}

HTTPError of(const WindowError& error) {
    switch (error.kind) {
    case WindowError::Kind::notFound:
    case WindowError::Kind::noAccessibleWindow: return HTTPError(404, error.what());
    case WindowError::Kind::hidden: return HTTPError(403, error.what());
    case WindowError::Kind::minimized:
    case WindowError::Kind::noPicture:
    case WindowError::Kind::staleElement:
    case WindowError::Kind::actionFailed: return HTTPError(409, error.what());
    }
    return HTTPError(500, error.what());
}

HTTPError of(const CaptureFailure& error, DesktopSession& session) {
    if (!session.canCaptureScreen()) return HTTPError(403, noCaptureText);
    return HTTPError(500, std::string("capture failed: ") + error.what());
}

void answering(DesktopSession& session, const std::function<void()>& handler) {
    try {
        handler();
    } catch (const BadInput& error) {
        throw HTTPError(400, error.what());
    } catch (const MissingProtocol& error) {
        throw HTTPError(503, error.what(), {{"code", "missing-protocol"}, {"protocol", error.protocol}});
    } catch (const DisplayError& error) {
        throw of(error, session);
    } catch (const WindowError& error) {
        throw of(error);
    } catch (const CaptureFailure& error) {
        throw of(error, session);
    } catch (const ControlRefused& error) {
        nlohmann::json extra = nlohmann::json::object();
        if (error.holder) {
            extra["code"] = "controlled-elsewhere";
            extra["controllerDevice"] = {{"id", error.holder->id}, {"name", error.holder->name}};
        }
        throw HTTPError(409, error.what(), extra);
    }
}

}  // namespace tovo::ErrorMapping
