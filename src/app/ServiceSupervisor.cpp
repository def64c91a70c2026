#include "app/ServiceSupervisor.h"

#include "app/AppError.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>

namespace tovo {

double RestartPolicy::delay(std::optional<int> exitCode, double uptime) {
    if (uptime >= stableAfter) failures = 0;
    if (uptime >= minUptimeForRestartExit && exitCode == restartExitCode) return 0;
    return failed();
}

double RestartPolicy::failed() {
    const int n = failures++;
    return std::min(std::pow(2.0, std::min(n, 30)) * firstDelay, maxDelay);
}

ServiceSupervisor::ServiceSupervisor(std::string executable, std::string socketPath, const LogFile& log, AppLoop& loop,
                                     ChildLauncher& launcher)
    : executable(std::move(executable)), socketPath(std::move(socketPath)), log(log), loop(loop), launcher(launcher) {}

void ServiceSupervisor::setState(State state) {
    current = state;
    if (onChange) onChange();
}

void ServiceSupervisor::closeStdin() {
    if (stdinFd >= 0) ::close(stdinFd);
    stdinFd = -1;
}

void ServiceSupervisor::start() {
    if (shuttingDown || child) return;
    if (restartTimer) loop.cancel(*restartTimer);
    restartTimer.reset();
    std::weak_ptr<ServiceSupervisor*> weak = self;
    AppLoop* mainLoop = &loop;
    try {
        auto launched = launcher.launch({executable, "--socket", socketPath, "--exit-on-stdin-eof", "--remote"},
                                        log.descriptor(), [weak, mainLoop](pid_t pid, int status, bool signaled) {
                                            mainLoop->post([weak, pid, status, signaled] {
                                                if (auto s = weak.lock()) (*s)->exited(pid, status, signaled);
                                            });
                                        });
        child = launched.pid;
        stdinFd = launched.stdinFd;
        started = loop.now();
        log.write("service started (pid " + std::to_string(launched.pid) + ")");
        setState({State::Kind::running, launched.pid, started, 0});
    } catch (const AppError& error) {
        log.write(std::string("cannot start the service: ") + error.what());
        lastEnd = error.what();
        schedule(policy.failed());
    }
}

void ServiceSupervisor::exited(pid_t pid, int status, bool signaled) {
    if (!child || *child != pid) return;
    const double uptime = loop.now() - started;
    child.reset();
    closeStdin();
    std::string description =
        signaled ? "killed by signal " + std::to_string(status) : "exit code " + std::to_string(status);
    if (stopping && stopping->pid == pid) {
        auto then = std::move(stopping->then);
        stopping.reset();
        log.write("service ended (" + description + ") as asked");
        setState({});
        if (then) then();
        return;
    }
    if (shuttingDown) return;
    lastEnd = description;
    double delay = policy.delay(signaled ? std::nullopt : std::optional<int>(status), uptime);
    const std::string ran = std::to_string(static_cast<long long>(uptime));
    if (delay != 0) {
        log.write("service ended (" + description + ") after " + ran + " s; next start in " +
                  std::to_string(static_cast<long long>(delay)) + " s");
    } else {
        log.write("service ended (" + description + ") after " + ran + " s; starting a fresh one");
    }
    schedule(delay);
}

void ServiceSupervisor::schedule(double delay) {
    if (delay <= 0) return start();
    setState({State::Kind::waiting, 0, 0, loop.now() + delay});
    std::weak_ptr<ServiceSupervisor*> weak = self;
    restartTimer = loop.after(delay, [weak] {
        if (auto s = weak.lock()) {
            (*s)->restartTimer.reset();
            (*s)->start();
        }
    });
}

void ServiceSupervisor::restart(const std::string& reason, bool userAsked) {
    if (shuttingDown) return;
    if (userAsked) policy.reset();
    log.write("restarting the service: " + reason);
    if (child) {
        terminate(*child, [this] { start(); });
    } else {
        start();
    }
}

void ServiceSupervisor::terminate(pid_t pid, std::function<void()> then) {
    if (stopping) {
        auto first = std::move(stopping->then);
        stopping->then = [first = std::move(first), then = std::move(then)] {
            if (first) first();
            if (then) then();
        };
        return;
    }
    stopping = Stopping{pid, std::move(then)};
    launcher.signal(pid, SIGTERM);
    std::weak_ptr<ServiceSupervisor*> weak = self;
    loop.after(5.0, [weak, pid] {
        auto s = weak.lock();
        if (!s) return;
        ServiceSupervisor& me = **s;
        if (me.stopping && me.stopping->pid == pid && me.launcher.running(pid)) {
            me.log.write("the service did not stop within 5 s; killing it");
            me.launcher.signal(pid, SIGKILL);
        }
    });
}

void ServiceSupervisor::shutdown(double timeout) {
    shuttingDown = true;
    if (restartTimer) loop.cancel(*restartTimer);
    restartTimer.reset();
    if (child) {
        const pid_t pid = *child;
        stopping = Stopping{pid, nullptr};
        launcher.signal(pid, SIGTERM);
        closeStdin();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (launcher.running(pid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (launcher.running(pid)) launcher.signal(pid, SIGKILL);
        log.write("service stopped");
    }
    self.reset();
}

}  // namespace tovo
