#include "app/TovoApp.h"

#include "base/Log.h"

#include <cstdlib>

namespace tovo::TovoApp {

bool isAppLaunch(const std::vector<std::string>& arguments) {
    std::vector<std::string> kept;
    for (const auto& argument : arguments) {
        if (argument.rfind("-psn_", 0) != 0) kept.push_back(argument);
    }
    return kept.empty() || (kept.size() == 1 && kept[0] == "--app");
}

void run() {
    log("the tray app is not part of this build yet; run the service with --socket <path>");
    std::exit(2);
}

}  // namespace tovo::TovoApp
