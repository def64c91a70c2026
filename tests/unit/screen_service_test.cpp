// ScreenService start/stop and the process exits wired to its hooks.
#include "service/Lifecycle.h"
#include "service/ScreenHost.h"
#include "service/ScreenService.h"
#include "service/ScreenServiceError.h"
#include "support/ListeningSocket.h"
#include "support/LogCapture.h"
#include "support/Process.h"
#include "support/SocketClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace tovo;
using namespace tovo::test;
using namespace std::chrono_literals;

namespace {

struct ServiceFixture : ::testing::Test {
    TempDir dir;
    std::string socketPath = dir.path() + "/screen.sock";
    LogCapture log;
};

}  // namespace

TEST_F(ServiceFixture, StartIsIdempotentAndAnswersOnItsSocket) {
    auto service = std::make_shared<ScreenService>(socketPath, std::nullopt);
    service->calibrateEncoders = false;
    EXPECT_FALSE(service->isRunning());
    service->start();
    service->start();
    EXPECT_TRUE(service->isRunning());
    EXPECT_EQ(log.count("listening on " + socketPath), 1);

    auto response = httpExchange(socketPath, "GET /anything?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, R"({"error":"no such endpoint /anything"})");
    EXPECT_EQ(response.headers["connection"], "close");

    service->stop();
    EXPECT_FALSE(service->isRunning());
    EXPECT_FALSE(fileExists(socketPath));
    EXPECT_EQ(log.count("stopped"), 1);
}

TEST_F(ServiceFixture, UnusableSocketPathFailsStart) {
    auto service = std::make_shared<ScreenService>(dir.path() + "/no/such/dir.sock", std::nullopt);
    service->calibrateEncoders = false;
    try {
        service->start();
        FAIL() << "start succeeded";
    } catch (const ScreenServiceError& e) {
        EXPECT_EQ(e.message, "cannot listen on " + dir.path() + "/no/such/dir.sock: bind: No such file or directory");
    }
    EXPECT_FALSE(service->isRunning());
}

TEST_F(ServiceFixture, DeadListenerIsReportedOnce) {
    auto service = std::make_shared<ScreenService>(socketPath, std::nullopt);
    service->calibrateEncoders = false;
    std::atomic<int> calls{0};
    std::string message;
    service->onFatal = [&](const std::string& m) {
        message = m;
        ++calls;
    };
    service->start();
    int fd = findListeningSocket(socketPath);
    ASSERT_GE(fd, 0);
    ::shutdown(fd, SHUT_RDWR);
    for (int i = 0; i < 500 && calls == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(message, "accept failed: Invalid argument");
    EXPECT_FALSE(service->isRunning());
    // A new start brings up a fresh listener.
    service->start();
    EXPECT_TRUE(service->isRunning());
    EXPECT_EQ(httpExchange(socketPath, "GET / HTTP/1.1\r\n\r\n").status, 404);
    service->stop();
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(ServiceFixture, FatalHooksExitWithTheirCodesAndRemoveTheSocket) {
    struct Case {
        const char* name;
        int code;
        std::function<void(ScreenService&)> trigger;
    };
    std::vector<Case> cases = {
        {"listener died", 1, [](ScreenService& s) { s.onFatal("accept failed: test"); }},
        {"audio server restarted", 75, [](ScreenService&) { ScreenHost::onAudioServiceRestart(); }},
        {"audio deaf", 75, [](ScreenService&) { ScreenHost::onAudioDeaf(); }},
    };
    for (const auto& c : cases) {
        std::string path = socketPath + "." + std::to_string(c.code);
        EXPECT_EXIT(
            {
                auto service = std::make_shared<ScreenService>(path, std::nullopt);
                service->calibrateEncoders = false;
                Lifecycle::install(path);
                Lifecycle::installFatalHooks(*service);
                service->start();
                c.trigger(*service);
            },
            ::testing::ExitedWithCode(c.code), "")
            << c.name;
        EXPECT_FALSE(fileExists(path)) << c.name;
    }
}
