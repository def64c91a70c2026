#pragma once

#include "app/AppLoop.h"
#include "app/ChildLauncher.h"
#include "app/LogFile.h"

#include <functional>
#include <optional>
#include <string>

namespace tovo {

// How long to wait before starting the service again after it ended.
struct RestartPolicy {
    static constexpr int restartExitCode = 75;
    static constexpr double minUptimeForRestartExit = 2.0;
    static constexpr double stableAfter = 60.0;
    static constexpr double firstDelay = 1.0;
    static constexpr double maxDelay = 60.0;

    int failures = 0;

    // The pause in seconds; `exitCode` is none for a child killed by a signal. A child that
    // ran 60 s clears the failures; exit 75 after 2 s asks for a fresh process at once;
    // anything else counts a failure and waits 1, 2, 4 … 60 s.
    double delay(std::optional<int> exitCode, double uptime);
    // Counts a failure and answers its pause: 1, 2, 4 … 60 s.
    double failed();
    void reset() { failures = 0; }
};

// Keeps the service running as a child of the app: started with the app's socket, its
// output into the app's log, restarted after a growing pause when it ends, stopped on
// request and when the app quits.
//
// Threads: the app loop's (main) thread only; the child's end is handed over through it.
class ServiceSupervisor {
public:
    struct State {
        enum class Kind { idle, running, waiting } kind = Kind::idle;
        pid_t pid = 0;     // running
        double since = 0;  // running: loop time of the start
        double until = 0;  // waiting: loop time of the next start
    };

    // `log`, `loop` and `launcher` must outlive the supervisor.
    ServiceSupervisor(std::string executable, std::string socketPath, const LogFile& log, AppLoop& loop,
                      ChildLauncher& launcher);

    void start();
    void restart(const std::string& reason, bool userAsked);
    // Stops for good: SIGTERM, the child's standard input closed, SIGKILL after `timeout`
    // seconds. Blocks until the child has ended.
    void shutdown(double timeout);

    const State& state() const { return current; }
    const std::optional<std::string>& lastExit() const { return lastEnd; }
    double startedAt() const { return started; }
    const RestartPolicy& restartPolicy() const { return policy; }
    // Called after every change of state().
    std::function<void()> onChange;

private:
    void exited(pid_t pid, int status, bool signaled);
    void schedule(double delay);
    void terminate(pid_t pid, std::function<void()> then);
    void setState(State state);
    void closeStdin();

    const std::string executable;
    const std::string socketPath;
    const LogFile& log;
    AppLoop& loop;
    ChildLauncher& launcher;

    State current;
    std::optional<std::string> lastEnd;
    RestartPolicy policy;
    std::optional<pid_t> child;
    int stdinFd = -1;
    double started = 0;
    std::optional<AppLoop::TimerId> restartTimer;
    struct Stopping {
        pid_t pid;
        std::function<void()> then;
    };
    std::optional<Stopping> stopping;
    bool shuttingDown = false;
    // Cleared when the supervisor goes, so that late callbacks do nothing.
    std::shared_ptr<ServiceSupervisor*> self = std::make_shared<ServiceSupervisor*>(this);
};

}  // namespace tovo
