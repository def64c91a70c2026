#pragma once

#include "audio/AudioCapture.h"
#include "capture/CaptureLatency.h"
#include "capture/StillCapture.h"
#include "clipboard/ClipboardMonitor.h"
#include "cursor/PointerTracker.h"
#include "desktop/Accessibility.h"
#include "desktop/WindowSystem.h"
#include "display/Displays.h"
#include "http/Router.h"
#include "input/Input.h"
#include "input/PointerHold.h"
#include "overlay/Automation.h"
#include "remote/RemoteAccess.h"
#include "remote/RemoteControl.h"
#include "session/DesktopSession.h"
#include "session/ScreenState.h"
#include "video/EncoderSession.h"
#include "video/StreamFlow.h"
#include "video/StreamTuning.h"
#include "video/VideoEncoder.h"

#include <chrono>
#include <memory>
#include <set>

namespace tovo {

// Everything the endpoints use, built once by the service and passed in. Every object must
// outlive the Api and the requests it serves.
struct ApiDependencies {
    // What is on screen and who sits at it.
    struct Desktop {
        DesktopSession& session;
        Displays& displays;
        WindowSystem& windows;
        Accessibility& accessibility;
        ScreenStateTracker& tracker;
        std::string platform;  // the desktop platform's name ("x11")
    };
    // Still pictures, and the capturers of video streams.
    struct Capture {
        StillCapture& stills;
        CapturerFactory makeCapturer;
        VideoCaptureLatency& captureLatency;
    };
    struct Video {
        EncoderCapabilities& encoders;
        StreamFlowRegistry& flows;
        StreamSettings streams;
    };
    // Input, and who may give it.
    struct Control {
        Input& input;
        PointerHolds& holds;
        RemoteControl& remoteControl;
    };
    // The client-drawn cursor: the live trackers, and a new one for a display's stream.
    // Both none when the platform cannot follow the pointer.
    struct Cursor {
        PointerTrackers* trackers = nullptr;
        std::function<std::shared_ptr<DisplayPointerTracker>(uint32_t display)> makeTracker;
        PointerProbe* probe = nullptr;  // none: GET /cursor answers 503
    };
    // Features that may be off: each none when off.
    struct Features {
        RemoteAccess* remote = nullptr;  // with --remote
        ClipboardMonitor* clipboard = nullptr;
        AudioCaptures* audio = nullptr;
        bool audioEnabled = true;          // TOVO_AUDIO
        Automation* automation = nullptr;  // none: /automation answers 503
    };

    Desktop desktop;
    Capture capture;
    Video video;
    Control control;
    Cursor cursor;
    Features features;
    std::chrono::milliseconds eventPing{15000};  // silence before a ping line on /events
};

// The HTTP API: the route table with every endpoint, and the mapping of the features'
// errors to status codes and texts.
//
// Threads: immutable once built; requests are served on any thread.
class Api {
public:
    explicit Api(ApiDependencies dependencies);

    // The full route table, as the local socket serves it.
    const Router& router() const { return routes; }
    // Answers one request (what the local listener calls).
    void handle(HTTPRequest& request, Connection& connection) const { routes.handle(request, connection); }
    // Serves one connection of the remote listener until it ends: requests in a row, each
    // authenticated by a paired device's token (POST /pair excepted) and limited to the
    // routes phones may use. `id` is the connection's id from RemoteAccess::admit. Needs
    // `remote` in the dependencies.
    void serveRemote(uint64_t id, std::unique_ptr<SecureStream> stream) const;

    // The routes a paired device may call, as "{METHOD} {path}".
    static const std::set<std::string> remoteRoutes;

private:
    ApiDependencies deps;
    Router routes;
    Router remoteRouter;
};

}  // namespace tovo
