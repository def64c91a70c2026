// tovo-control: chooses between the tray-app role and the service role, and runs the
// service until a signal, end of standard input or a fatal error ends the process.
#include "app/TovoApp.h"
#include "base/Log.h"
#include "service/CommandLine.h"
#include "service/Lifecycle.h"
#include "service/MainQueue.h"
#include "service/Respawn.h"
#include "service/ScreenService.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

using namespace tovo;

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
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

    // Building the service starts nothing; a re-spawning parent builds it too and never
    // starts it.
    auto service = std::make_shared<ScreenService>(*options.socketPath, options.remoteHome());

    const char* disclaimed = std::getenv("TOVO_DISCLAIMED");
    if (disclaimed && std::string(disclaimed) == "1") {
        log("running as disclaimed child (responsible for its own TCC grants)");
    } else if (auto code = Respawn::runDisclaimedChild(argc, argv)) {
        return *code;
    } else {
        log("running in-process (responsibility_spawnattrs_setdisclaim unavailable or spawn failed)");
    }

    Lifecycle::install(*options.socketPath);
    if (options.exitOnStdinEOF) Lifecycle::watchStdin();

    Lifecycle::installFatalHooks(*service);

    try {
        service->start();
    } catch (const std::exception& error) {
        log(error.what());
        Lifecycle::exitRemovingSocket(1);
    }

    MainQueue::shared().run();
}
