#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tovo {

// Starts and signals child processes. Signals reach only children this launcher started
// and that have not ended yet, so a reused process id is never hit.
//
// Threads: any; `onExit` runs on a thread of the launcher's.
class ChildLauncher {
public:
    struct Child {
        pid_t pid = 0;
        int stdinFd = -1;  // the write end of the child's standard input
    };
    virtual ~ChildLauncher() = default;

    // Starts `argv` with standard input from a new pipe and standard output and error on
    // `outputFd` (the caller keeps it). `onExit(pid, status, signaled)` is called once when
    // the child ends. Throws AppError with the reason when it cannot start.
    virtual Child launch(const std::vector<std::string>& argv, int outputFd,
                         std::function<void(pid_t pid, int status, bool signaled)> onExit) = 0;
    // False when `pid` is not a running child of this launcher.
    virtual bool signal(pid_t pid, int number) = 0;
    virtual bool running(pid_t pid) = 0;
};

// Children through posix_spawn, each watched by a thread of its own.
std::unique_ptr<ChildLauncher> makePosixChildLauncher();

}  // namespace tovo
