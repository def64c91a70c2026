#include "app/TovoApp.h"

#include "base/Log.h"

#include <cstdlib>

namespace tovo::TovoApp {

bool isAppLaunch(const std::vector<std::string>& arguments) {
    return arguments.empty() || (arguments.size() == 1 && arguments[0] == "--app");
}

void run() {
    log("the tray app is not part of this build yet; run the service with --socket <path>");
    std::exit(2);
}

}  // namespace tovo::TovoApp
