#include "app/AppError.h"
#include "app/ChildLauncher.h"
#include "base/Mutex.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace tovo {
namespace {

class PosixChildLauncher final : public ChildLauncher {
public:
    ~PosixChildLauncher() override {
        MutexLock guard(lock);
        for (auto& [pid, watcher] : watchers) watcher.detach();
    }

    Child launch(const std::vector<std::string>& argv, int outputFd,
                 std::function<void(pid_t pid, int status, bool signaled)> onExit) override {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw AppError(std::string("pipe: ") + std::strerror(errno));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
        const int out = outputFd >= 0 ? outputFd : STDERR_FILENO;
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // The app ignores or handles some signals; the child starts with the defaults.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = 0;
        int failed = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(pipeFds[0]);
        if (failed != 0) {
            ::close(pipeFds[1]);
            throw AppError(argv[0] + ": " + std::strerror(failed));
        }
        MutexLock guard(lock);
        live[pid] = true;
        watchers[pid] = std::thread([this, pid, onExit = std::move(onExit)] { watch(pid, onExit); });
        return {pid, pipeFds[1]};
    }

    bool signal(pid_t pid, int number) override {
        MutexLock guard(lock);
        auto it = live.find(pid);
        if (it == live.end() || !it->second) return false;
        return ::kill(pid, number) == 0;
    }

    bool running(pid_t pid) override {
        MutexLock guard(lock);
        auto it = live.find(pid);
        return it != live.end() && it->second;
    }

private:
    // Waits for the child's end without reaping it, marks it ended under the lock, and only
    // then reaps it: until then its pid cannot be reused, so signal() never hits a stranger.
    void watch(pid_t pid, const std::function<void(pid_t, int, bool)>& onExit) {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {}
        {
            MutexLock guard(lock);
            live[pid] = false;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        {
            MutexLock guard(lock);
            live.erase(pid);
            if (auto it = watchers.find(pid); it != watchers.end()) {
                it->second.detach();
                watchers.erase(it);
            }
        }
        if (WIFSIGNALED(status)) {
            onExit(pid, WTERMSIG(status), true);
        } else {
            onExit(pid, WEXITSTATUS(status), false);
        }
    }

    Mutex lock;                                        // guards live and watchers
    std::map<pid_t, bool> live TOVO_GUARDED_BY(lock);  // true while running, false once ended and not yet reaped
    std::map<pid_t, std::thread> watchers TOVO_GUARDED_BY(lock);
};

}  // namespace

std::unique_ptr<ChildLauncher> makePosixChildLauncher() { return std::make_unique<PosixChildLauncher>(); }

}  // namespace tovo
