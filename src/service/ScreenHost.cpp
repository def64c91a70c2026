#include "service/ScreenHost.h"

#include "base/Log.h"

namespace tovo::ScreenHost {

std::string appName = "Tovo Control";
std::function<void(std::string_view)> logSink = [](std::string_view message) { tovo::log(message); };
std::function<void()> onAudioServiceRestart;
std::function<void()> onAudioDeaf;

}  // namespace tovo::ScreenHost
