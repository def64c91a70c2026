#pragma once

#include "support/Process.h"

#include <map>
#include <memory>
#include <string>

namespace tovo::test {

// A private headless desktop (Xvfb, a D-Bus session bus and openbox) for the test process
// that asks for it first. It is started once per process and stopped at exit; its DISPLAY
// and DBUS_SESSION_BUS_ADDRESS are put into this process's environment so that children
// inherit them.
class VirtualDesktop {
public:
    static VirtualDesktop& shared();
    ~VirtualDesktop();

    const std::string& display() const { return env.at("DISPLAY"); }
    // Kills the sound server and starts a new one; true when it is back.
    bool restartSound();
    // Resident memory of its window manager, in KiB (0 when it cannot be read).
    long windowManagerKiB() const;

private:
    VirtualDesktop();
    TempDir state;
    std::map<std::string, std::string> env;
};

// A bare Xvfb of its own (no window manager, no bus) on a free display number, for tests
// that end the X server under the service. Waits until it answers.
struct BareXServer {
    BareXServer();
    // Starts it again on the same number after it was ended.
    void restart();
    std::string display;
    std::unique_ptr<Process> process;
};

}  // namespace tovo::test
