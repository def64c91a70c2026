#pragma once

#include "support/Process.h"

#include <map>
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
    const std::string& busAddress() const { return env.at("DBUS_SESSION_BUS_ADDRESS"); }

private:
    VirtualDesktop();
    TempDir state;
    std::map<std::string, std::string> env;
};

}  // namespace tovo::test
