#pragma once

#include <functional>
#include <string>

namespace tovo {

// Where the tray app keeps its files. `home` holds the service's socket and the instance
// lock; the log lives in `logDirectory`.
struct AppPaths {
    std::string home;
    std::string logDirectory;

    static constexpr size_t maxSocketPathBytes = 103;  // sockaddr_un holds 104 with the NUL

    std::string socketPath() const { return home + "/screen.sock"; }
    std::string lockPath() const { return home + "/app.lock"; }
    std::string logPath() const { return logDirectory + "/tovo-control.log"; }

    // TOVO_HOME (tilde expanded, "." and ".." resolved) with its logs in "logs" below it;
    // else $XDG_DATA_HOME/tovo-control and $XDG_STATE_HOME/tovo-control, which default to
    // ~/.local/share and ~/.local/state.
    static AppPaths resolve(const std::function<const char*(const char*)>& environment, const std::string& userHome);

    // Creates home (0700, an existing one tightened too) and the log directory. Throws
    // AppError for a socket path too long for a Unix socket, std::system_error otherwise.
    void prepare() const;
};

// Resolves "~", "." and ".." and repeated slashes without touching the file system.
std::string standardisedPath(const std::string& path, const std::string& userHome);

}  // namespace tovo
