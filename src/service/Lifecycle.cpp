#include "service/Lifecycle.h"

#include "base/Log.h"
#include "service/ScreenService.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tovo::Lifecycle {
namespace {

// Set once before the handlers are installed and never freed, so that a signal handler
// can use it without allocating.
const char* volatile socketPathCopy = nullptr;
// The bound file's identity, written before `socketOwned` is set; read by signal handlers.
HTTPServer::SocketFile ownedFile;
std::atomic<bool> socketOwned{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in signal handlers");

void removeSocketFile() {
    const char* path = socketPathCopy;
    if (path && socketOwned.load()) removeSocketFileIfSame(path, ownedFile);
}

extern "C" void onTerminationSignal(int) {
    removeSocketFile();
    ::_exit(0);
}

}  // namespace

void install(const std::string& socketPath) {
    socketPathCopy = ::strdup(socketPath.c_str());
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void ownSocket(HTTPServer::SocketFile file) {
    ownedFile = file;
    socketOwned.store(true);
}

void watchStdin() {
    std::thread([] {
        char buffer[256];
        for (;;) {
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        log("stdin closed, exiting");
        exitRemovingSocket(0);
    }).detach();
}

void installFatalHooks(ScreenService& service) {
    // The listener logged its message already.
    service.onFatal = [](const std::string&) { exitRemovingSocket(1); };
    // A fresh process hears what this one's capture cannot: the supervisor starts one.
    service.onAudioDeaf = [] { exitRemovingSocket(75); };
}

void exitRemovingSocket(int code) {
    removeSocketFile();
    // Other threads are still serving: running static destructors under them could crash
    // the exit itself, so only the stdio buffers are flushed before leaving.
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace tovo::Lifecycle
