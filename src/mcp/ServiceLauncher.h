#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tovo::mcp {

// A service started for an MCP session that found none: on $DISPLAY when an X server answers
// there, else on a private headless desktop (Xvfb 1920×1080 on a free display number, a
// D-Bus session bus, openbox) started first. The constructor returns once the service answers
// on `socket`; the destructor stops the service (it also ends when this process does, by the
// end of its standard input) and the desktop.
//
// Threads: built and destroyed on one thread. Throws std::runtime_error when a part cannot
// start.
class ServiceLauncher {
public:
    ServiceLauncher(const std::string& executable, const std::string& socket);
    ~ServiceLauncher();
    ServiceLauncher(const ServiceLauncher&) = delete;
    ServiceLauncher& operator=(const ServiceLauncher&) = delete;

private:
    void startDesktop();
    void shutdown();  // stops what was started; safe to call again
    // Starts `argv` with the current environment; its standard input is a pipe kept open in
    // *stdinWriter when given, else /dev/null; its standard output goes to `outputFd` when
    // that is not -1, else to standard error (never to the MCP channel on standard output).
    pid_t spawn(const std::vector<std::string>& argv, int* stdinWriter, int outputFd = -1);

    std::vector<pid_t> desktop;  // started in this order, stopped in reverse
    pid_t service = -1;
    int serviceStdin = -1;
    std::string desktopDir;
};

}  // namespace tovo::mcp
