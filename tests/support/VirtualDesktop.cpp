#include "support/VirtualDesktop.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

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

bool VirtualDesktop::restartSound() {
    return runCommand({"/bin/bash", script, "restart-sound", state.path()}, std::chrono::seconds(40)).code == 0;
}

long VirtualDesktop::windowManagerKiB() const {
    std::string pid;
    std::ifstream(state.path() + "/openbox.pid") >> pid;
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

VirtualDesktop::~VirtualDesktop() { runCommand({"/bin/bash", script, "stop", state.path()}); }

BareXServer::BareXServer() {
    int number = 40 + ::getpid() % 200;
    while (fileExists("/tmp/.X" + std::to_string(number) + "-lock") ||
           fileExists("/tmp/.X11-unix/X" + std::to_string(number))) {
        ++number;
    }
    display = ":" + std::to_string(number);
    restart();
}

void BareXServer::restart() {
    process = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/Xvfb", display, "-screen", "0", "1280x720x24", "-nolisten", "tcp"});
    for (int i = 0; i < 200; ++i) {
        if (runCommand({"/usr/bin/xdpyinfo", "-display", display}, std::chrono::seconds(5)).code == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("Xvfb " + display + " did not start: " + process->output());
}

}  // namespace tovo::test
