#pragma once

#include <string>
#include <vector>

namespace tovo::TovoApp {

// True when the arguments after the program name are none at all or exactly "--app".
bool isAppLaunch(const std::vector<std::string>& arguments);

// Runs the tray-application role; never returns.
[[noreturn]] void run();

}  // namespace tovo::TovoApp
