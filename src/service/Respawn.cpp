#include "service/Respawn.h"

#include "base/Log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tovo::Respawn {
namespace {

using DisclaimFunction = int (*)(posix_spawnattr_t*, int);

// The child's pid once it exists; read by the relaying signal handler.
std::atomic<pid_t> childPid{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

extern "C" void relaySignal(int signal) {
    pid_t pid = childPid.load();
    if (pid >= 1) ::kill(pid, signal);
}

std::string executablePath(char** argv) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n > 0) return std::string(buffer, static_cast<size_t>(n));
    return argv[0] ? argv[0] : "";
}

std::vector<std::string> childEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, "TOVO_DISCLAIMED=", 16) == 0) continue;
        entries.emplace_back(*entry);
    }
    entries.emplace_back("TOVO_DISCLAIMED=1");
    return entries;
}

void restoreDefaultSignals() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

std::optional<int> runDisclaimedChild(int argc, char** argv) {
    auto disclaim = reinterpret_cast<DisclaimFunction>(::dlsym(RTLD_DEFAULT, "responsibility_spawnattrs_setdisclaim"));
    if (!disclaim) return std::nullopt;

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return std::nullopt;
    if (disclaim(&attributes, 1) != 0) {
        posix_spawnattr_destroy(&attributes);
        return std::nullopt;
    }

    std::string path = executablePath(argv);
    std::vector<char*> childArgv(argv, argv + argc);
    childArgv.push_back(nullptr);
    std::vector<std::string> environment = childEnvironment();
    std::vector<char*> childEnvp;
    for (auto& entry : environment) childEnvp.push_back(entry.data());
    childEnvp.push_back(nullptr);

    struct sigaction action {};
    action.sa_handler = relaySignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, path.c_str(), nullptr, &attributes, childArgv.data(), childEnvp.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        log(std::string("posix_spawn failed: ") + std::strerror(spawned));
        restoreDefaultSignals();
        return std::nullopt;
    }

    childPid.store(pid);
    log("spawned disclaimed child pid " + std::to_string(pid) + "; relaying signals");
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) return 1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace tovo::Respawn
