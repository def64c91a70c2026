#include "support/VirtualDesktop.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#ifndef TOVO_SOURCE_DIR
#error "TOVO_SOURCE_DIR must name the source tree"
#endif

namespace tovo::test {
namespace {

const std::string script = std::string(TOVO_SOURCE_DIR) + "/scripts/virtual-desktop.sh";

}  // namespace

VirtualDesktop& VirtualDesktop::shared() {
    // Destroyed at exit, which stops the desktop.
    static std::unique_ptr<VirtualDesktop> desktop(new VirtualDesktop());
    return *desktop;
}

VirtualDesktop::VirtualDesktop() {
    auto result = runCommand({"/bin/bash", script, "start", state.path()}, std::chrono::seconds(60));
    if (result.code != 0) throw std::runtime_error("virtual desktop did not start: " + result.output);
    std::ifstream in(state.path() + "/env");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (!env.count("DISPLAY") || !env.count("DBUS_SESSION_BUS_ADDRESS")) {
        throw std::runtime_error("virtual desktop wrote no environment");
    }
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
}

VirtualDesktop::~VirtualDesktop() { runCommand({"/bin/bash", script, "stop", state.path()}); }

}  // namespace tovo::test
