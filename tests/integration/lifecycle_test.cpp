// The real tovo-control executable: its command line, exit codes, socket clean-up,
// standard-input watch, re-spawn and behaviour under load, checked from outside.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

using namespace tovo::test;
using namespace std::chrono_literals;

namespace {

// A service on a private socket, started without a display unless the test sets one.
struct Service : ServiceProcess {
    explicit Service(std::vector<std::string> extra = {}, Process::Options options = {})
        : ServiceProcess(binary,
                         options.setEnv.count("DISPLAY") ? std::optional(options.setEnv["DISPLAY"]) : std::nullopt,
                         options, extra) {}
};

}  // namespace

TEST(Lifecycle, BadCommandLinesExitWithCode2) {
    struct Case {
        std::vector<std::string> arguments;
        std::string line;
    };
    const std::string usage = "usage: tovo-control [--app] | --socket <path> [--exit-on-stdin-eof] [--remote]";
    std::vector<Case> cases = {
        {{"--app", "--socket", "/tmp/x.sock"}, "unknown argument --app"},
        {{"--socket", "/tmp/x.sock", "--verbose"}, "unknown argument --verbose"},
        {{"--remote"}, usage},
        {{"--socket", ""}, usage},
        {{"--exit-on-stdin-eof", "--socket"}, usage},
        {{"-psn_0_42"}, "unknown argument -psn_0_42"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {binary};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        auto result = runCommand(argv, 10s);
        EXPECT_EQ(result.code, 2) << result.output;
        EXPECT_NE(result.output.find(c.line), std::string::npos) << result.output;
    }
}

TEST(Lifecycle, TerminationSignalsRemoveTheSocketAndExit0) {
    for (int signal : {SIGTERM, SIGINT}) {
        Service service;
        ASSERT_TRUE(service.ready()) << service.process->output();
        service.process->signal(signal);
        EXPECT_EQ(service.process->wait(10s), 0);
        EXPECT_FALSE(fileExists(service.socket));
    }
}

TEST(Lifecycle, StdinEndOfFile) {
    Service watching({"--exit-on-stdin-eof"});
    ASSERT_TRUE(watching.ready()) << watching.process->output();
    watching.process->closeStdin();
    EXPECT_EQ(watching.process->wait(10s), 0);
    EXPECT_FALSE(fileExists(watching.socket));
    EXPECT_NE(watching.process->output().find("stdin closed, exiting"), std::string::npos);

    // Without the flag end of file changes nothing.
    Service plain;
    ASSERT_TRUE(plain.ready());
    plain.process->closeStdin();
    EXPECT_EQ(plain.process->wait(500ms), std::nullopt);
    EXPECT_EQ(httpExchange(plain.socket, "GET /x HTTP/1.1\r\n\r\n").status, 404);
}

TEST(Lifecycle, UnusableSocketExitsWith1) {
    TempDir dir;
    std::string socket = dir.path() + "/missing/screen.sock";
    auto result = runCommand({binary, "--socket", socket}, 10s);
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.output.find("cannot listen on " + socket + ": bind: No such file or directory"), std::string::npos)
        << result.output;
}

// A second instance on a live socket exits 1 and leaves it be; an instance whose socket was
// replaced leaves the newer one when it exits.
TEST(Lifecycle, TheSocketPathIsNeverTakenOver) {
    Service first;
    ASSERT_TRUE(first.ready()) << first.process->output();
    auto second = runCommand({binary, "--socket", first.socket}, 10s);
    EXPECT_EQ(second.code, 1);
    EXPECT_NE(second.output.find("cannot listen on " + first.socket + ": another instance is serving it"),
              std::string::npos)
        << second.output;
    EXPECT_EQ(first.get("/x").status, 404);

    ::unlink(first.socket.c_str());
    Process later({binary, "--socket", first.socket}, Process::Options{.unsetEnv = {"DISPLAY"}});
    ASSERT_TRUE(later.waitForOutput("listening on", 10s)) << later.output();
    first.process->signal(SIGTERM);
    EXPECT_EQ(first.process->wait(10s), 0);
    EXPECT_EQ(httpExchange(first.socket, "GET /x HTTP/1.1\r\n\r\n").status, 404);
    later.signal(SIGTERM);
    EXPECT_EQ(later.wait(10s), 0);
    EXPECT_FALSE(fileExists(first.socket));
}

TEST(Lifecycle, DeadListenerExitsWith1AndRemovesTheSocket) {
    Service service;
    ASSERT_TRUE(service.ready());
    // Break the service's listening socket from outside: take a copy of its descriptor and
    // shut it down, so that its accept fails for good.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, service.process->pid(), 0));
    if (pidfd < 0) GTEST_SKIP() << "pidfd_open unavailable";
    int stolen = -1;
    for (int fd = 3; fd < 64 && stolen < 0; ++fd) {
        int copy = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, fd, 0));
        if (copy < 0) continue;
        int listening = 0;
        socklen_t size = sizeof(listening);
        if (::getsockopt(copy, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening) {
            stolen = copy;
        } else {
            ::close(copy);
        }
    }
    ::close(pidfd);
    if (stolen < 0) GTEST_SKIP() << "cannot reach the service's descriptors";
    ::shutdown(stolen, SHUT_RDWR);
    ::close(stolen);
    EXPECT_EQ(service.process->wait(10s), 1);
    EXPECT_FALSE(fileExists(service.socket));
    EXPECT_NE(service.process->output().find("accept failed: Invalid argument"), std::string::npos);
}

TEST(Lifecycle, RunningOutOfDescriptorsDoesNotKillTheService) {
    Process::Options options;
    options.maxOpenFiles = 16;
    Service service({}, options);
    ASSERT_TRUE(service.ready()) << service.process->output();
    {
        // More silent clients than the service has descriptors for: the rest wait in the
        // listen queue while accept reports that the process is out of descriptors.
        std::vector<std::unique_ptr<SocketClient>> clients;
        for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<SocketClient>(service.socket));
        ASSERT_TRUE(service.process->waitForOutput("accept failed: Too many open files; retrying", 10s))
            << service.process->output();
    }
    EXPECT_EQ(service.process->wait(300ms), std::nullopt) << service.process->output();
    EXPECT_TRUE(eventually([&] { return httpExchange(service.socket, "GET /after HTTP/1.1\r\n\r\n").status == 404; },
                           10s, 100ms));
    EXPECT_TRUE(service.process->running());
}
