// tovo-control: chooses between the tray-app role and the service role, and runs the
// service until a signal, end of standard input or a fatal error ends the process.
#include "app/TovoApp.h"
#include "base/Log.h"
#include "mcp/McpServer.h"
#include "service/CommandLine.h"
#include "service/DesktopPlatform.h"
#include "service/Lifecycle.h"
#include "service/ScreenService.h"

#include <unistd.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

using namespace tovo;

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (mcp::isMcpLaunch(arguments)) return mcp::runMcp(arguments, "/proc/self/exe");
    if (TovoApp::isAppLaunch(arguments)) TovoApp::run();

    CommandLineResult parsed = parseServiceArguments(arguments);
    if (parsed.unknownArgument) {
        log("unknown argument " + *parsed.unknownArgument);
        return 2;
    }
    const ServiceOptions& options = parsed.options;
    if (!options.socketPath || options.socketPath->empty()) {
        log(usageLine);
        return 2;
    }

    DesktopPlatformChoice desktop = chooseDesktopPlatform(options.backend, probeDesktopEnvironment);
    if (!desktop.name) {
        log(desktop.error);
        return 2;
    }

    // Supervised, the service writes into the app's log, whose lines carry time stamps.
    if (options.exitOnStdinEOF) setLogSink(stampedStandardError());
    Lifecycle::install(*options.socketPath);
    if (options.exitOnStdinEOF) Lifecycle::watchStdin();

    ServiceSettings settings = ServiceSettings::fromEnvironment(*options.socketPath, options.remoteHome());
    settings.supervised = options.exitOnStdinEOF;
    ScreenService service(
        std::move(settings),
        Platform::linuxDesktop(*desktop.name,
                               options.exitOnStdinEOF ? std::optional<int32_t>(::getppid()) : std::nullopt));
    Lifecycle::installFatalHooks(service);
    // From the moment the socket exists, the exit paths may remove it.
    service.onBound = Lifecycle::ownSocket;
    try {
        service.start();
    } catch (const std::exception& error) {
        log(error.what());
        Lifecycle::exitRemovingSocket(1);
    }
    // The service's threads do the work; the process ends through a signal, the end of
    // standard input or a dead listener, each of which exits without unwinding this frame.
    for (;;) ::pause();
}
