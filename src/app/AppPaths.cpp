#include "app/AppPaths.h"

#include "app/AppError.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tovo {

std::string standardisedPath(const std::string& path, const std::string& userHome) {
    std::string full = path;
    if (full == "~" || full.rfind("~/", 0) == 0) full = userHome + full.substr(1);
    const bool absolute = !full.empty() && full[0] == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
    return out.empty() ? "." : out;
}

AppPaths AppPaths::resolve(const std::function<const char*(const char*)>& environment, const std::string& userHome) {
    AppPaths paths;
    if (const char* home = environment("TOVO_HOME"); home && *home) {
        paths.home = standardisedPath(home, userHome);
        paths.logDirectory = paths.home + "/logs";
        return paths;
    }
    auto base = [&](const char* name, const char* fallback) {
        const char* value = environment(name);
        // The XDG rules ignore relative values.
        if (value && *value == '/') return standardisedPath(value, userHome);
        return userHome + fallback;
    };
    paths.home = base("XDG_DATA_HOME", "/.local/share") + "/tovo-control";
    paths.logDirectory = base("XDG_STATE_HOME", "/.local/state") + "/tovo-control";
    return paths;
}

void AppPaths::prepare() const {
    namespace fs = std::filesystem;
    fs::create_directories(home);
    if (::chmod(home.c_str(), 0700) != 0) throw std::system_error(errno, std::generic_category(), "chmod " + home);
    fs::create_directories(logDirectory);
    const std::string socket = socketPath();
    if (socket.size() > maxSocketPathBytes) {
        throw AppError("the socket path is too long for a unix socket (" + std::to_string(socket.size()) +
                       " bytes): " + socket);
    }
}

}  // namespace tovo
