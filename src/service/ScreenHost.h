#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tovo {

// Process-wide hooks, set on the main thread before any other thread starts and only read
// afterwards.
namespace ScreenHost {

// Product name shown to the user.
extern std::string appName;
// Every log line of the service core goes through it; defaults to `log`.
extern std::function<void(std::string_view)> logSink;
// Called by the audio subsystem when the audio server restarted under it.
extern std::function<void()> onAudioServiceRestart;
// Called by the audio watchdog when the capture stays deaf.
extern std::function<void()> onAudioDeaf;

}  // namespace ScreenHost
}  // namespace tovo
