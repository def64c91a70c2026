#pragma once

#include "api/Api.h"
#include "audio/AudioCapture.h"
#include "audio/AudioSource.h"
#include "base/Mutex.h"
#include "capture/CaptureLatency.h"
#include "capture/StillCapture.h"
#include "clipboard/ClipboardMonitor.h"
#include "clipboard/Pasteboard.h"
#include "cursor/PointerTracker.h"
#include "desktop/Accessibility.h"
#include "desktop/WindowSystem.h"
#include "display/Displays.h"
#include "http/HTTPServer.h"
#include "input/Input.h"
#include "input/InputInjector.h"
#include "input/PointerHold.h"
#include "overlay/Automation.h"
#include "remote/Crypto.h"
#include "remote/RemoteAccess.h"
#include "remote/RemoteControl.h"
#include "remote/SecureListener.h"
#include "session/ConsoleLock.h"
#include "session/ConsoleWatch.h"
#include "session/DesktopSession.h"
#include "session/ScreenState.h"
#include "video/StreamFlow.h"
#include "video/VideoEncoder.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

namespace x11 {
class SharedDisplay;
}

// The platform facilities a service runs on. The service owns them; tests pass fakes.
struct Platform {
    // The desktop platform (see DesktopPlatform.h) that provides the session, displays,
    // capture, input, windows, clipboard, cursor and overlay below; /status names it.
    std::string name = "x11";
    std::shared_ptr<void> keepAlive;  // what the desktop platform's backends share (its connection)
    std::unique_ptr<DesktopSession> session;
    std::unique_ptr<ConsoleLock> consoleLock;
    std::unique_ptr<DisplaySource> displays;
    CapturerFactory makeCapturer;
    std::unique_ptr<WindowSystem> windows;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<InputInjector> injector;
    EncoderSessionFactory makeEncoderSession;
    // Remote access (used with --remote only).
    std::unique_ptr<Crypto> crypto;
    SecureListenerFactory makeListener;
    std::function<std::unique_ptr<ServiceAdvertiser>()> makeAdvertiser;
    std::function<std::unique_ptr<PairingNotifier>()> makeNotifier;     // none: pairing is only logged
    std::function<std::vector<std::string>()> addresses;                // this computer's IPv4 addresses
    std::unique_ptr<Pasteboard> pasteboard;                             // none: no clipboard routes
    std::unique_ptr<PointerProbe> pointer;                              // none: no client-drawn cursor
    AudioSourceFactory makeAudioSource;                                 // none: no audio
    std::function<std::unique_ptr<AudioServerProbe>()> makeAudioProbe;  // none: no deafness watchdog
    // The automation banner over the displays `screens` lists, and the Escape tap; none:
    // automation is kept as state only.
    std::function<std::unique_ptr<AutomationOverlay>(std::function<std::vector<PixelRect>()> screens)> makeOverlay;
    std::unique_ptr<EscapeTap> escapeTap;

    // The Linux desktop this process runs on: the desktop platform `desktop` (a name
    // chooseDesktopPlatform gave), with D-Bus, AT-SPI, PulseAudio, libavcodec, OpenSSL and
    // Avahi. `supervisorPid` is the app that started the service as its child, whose
    // marked windows are treated as the service's own.
    static Platform linuxDesktop(const std::string& desktop, std::optional<int32_t> supervisorPid = std::nullopt);
};

// The X11 desktop platform's facilities, over one shared X connection.
void provideX11Desktop(Platform& platform, std::optional<int32_t> supervisorPid);
// The wlroots desktop platform's facilities (Wayland: sway, labwc, river, Wayfire, …).
void provideWlrootsDesktop(Platform& platform);

// The IPv4 addresses of the interfaces that are up, loopback and link-local left out, in
// interface order without duplicates.
std::vector<std::string> localIPv4Addresses();

// The service's settings, from its command line and environment.
struct ServiceSettings {
    std::string socketPath;
    // Where the remote listener will keep its settings, devices and identity; present with
    // --remote.
    std::optional<std::string> remoteHome;
    std::optional<std::string> monitorLayout;  // TOVO_X11_MONITORS
    StreamSettings streams;
    bool audioEnabled = true;  // TOVO_AUDIO / KILN_AUDIO
    // Started by the app, which starts a fresh service when this one exits
    // (--exit-on-stdin-eof): a deaf audio capture then hands over to a fresh process instead
    // of being torn down in this one.
    bool supervised = false;
    // Whether start() measures the video encoders in the background.
    bool calibrateEncoders = true;

    // The settings with this process's environment read.
    static ServiceSettings fromEnvironment(std::string socketPath, std::optional<std::string> remoteHome);
};

// The one object a service process builds, and the only place its long-lived objects are
// made: the platform backends, the state tracker and console watcher, the displays, still
// capture, input with its pointer holds, the stream flows, the encoder capabilities and the
// API over them. It starts them in a fixed order and reports a dead listener.
//
// Threads: start() and stop() from any thread but the listener's own; `onFatal` is called
// on the accept thread.
class ScreenService {
public:
    // Builds and wires everything; starts no thread, timer or listener.
    ScreenService(ServiceSettings settings, Platform platform);
    ~ScreenService();

    // Listens on the socket and starts the components. Throws ScreenServiceError; does
    // nothing while a listener is running.
    void start();
    // Stops what start() started, ending the connections being served.
    void stop();
    bool isRunning();

    // Called with the listener's message when it dies at run time. Set before start().
    std::function<void(const std::string&)> onFatal;
    // Called when this process's audio capture is deaf and a fresh process would hear;
    // none: the capture is rebuilt instead. Set before start().
    std::function<void()> onAudioDeaf;
    // Called by start() with the socket file it bound, before anything can connect to it.
    // Set before start().
    std::function<void(HTTPServer::SocketFile)> onBound;

    const ServiceSettings settings;
    Platform platform;
    const Api& api() const { return *endpoints; }

private:
    // The constructor's parts, in the order it runs them.
    void wireScreenState();  // the console watcher and what the screen state is made of
    void wireControl();      // remote control's hooks into held buttons and the event feed
    void wireClipboard();
    void wireRemote();
    void wireAudio();  // the captures and, with a probe, the deafness watchdog
    void wireAutomation();
    void buildApi();
    std::function<std::shared_ptr<DisplayPointerTracker>(uint32_t display)> pointerTrackerFactory();

    std::shared_ptr<ScreenStateTracker> tracker;
    std::shared_ptr<ConsoleWatcher> consoleWatcher;
    Displays displays;
    StillCapture stills;
    VideoCaptureLatency captureLatency;
    PointerHolds holds;
    Input input;
    StreamFlowRegistry flows;
    EncoderCapabilities encoders;
    RemoteControl control;
    std::unique_ptr<RemoteAccess> remote;         // with --remote
    std::unique_ptr<ClipboardMonitor> clipboard;  // with a pasteboard
    CursorShapeIDs cursorShapes;
    PointerTrackers pointers;
    std::unique_ptr<AudioServerProbe> audioProbe;
    std::unique_ptr<AudioDeafWatchdog> deafness;
    std::unique_ptr<AudioCaptures> audio;  // with an audio source
    std::unique_ptr<AutomationOverlay> overlay;
    std::unique_ptr<Automation> automation;
    std::unique_ptr<Api> endpoints;

    Mutex lock;  // guards listener
    std::unique_ptr<HTTPServer> listener TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
