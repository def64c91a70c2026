// HTTPServer over real Unix sockets in this process.
#include "http/HTTPServer.h"
#include "support/ListeningSocket.h"
#include "support/LogCapture.h"
#include "support/Process.h"
#include "support/SocketClient.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

using namespace tovo;
using namespace tovo::test;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> floodEnded{false};
std::atomic<int> holding{0};  // /hold handlers running

// A handler that answers {"path": …} and throws on request; /flood writes until a write fails.
void echoHandler(HTTPRequest& request, Connection& connection) {
    if (request.path == "/flood") {
        std::string chunk(65536, 'x');
        while (connection.transport->send(chunk)) {}
        floodEnded = true;
        return;
    }
    if (request.path == "/hold") {
        ++holding;
        while (!connection.peerClosed()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --holding;
        return;
    }
    if (request.path == "/teapot") throw HTTPError(409, "busy", {{"retryAfter", 3}, {"error", "overwritten"}});
    if (request.path == "/crash") throw std::runtime_error("handler broke");
    connection.json(200, {{"path", request.path}, {"body", request.body}});
}

struct ServerFixture : ::testing::Test {
    TempDir dir;
    std::string socketPath = dir.path() + "/s.sock";
    std::unique_ptr<HTTPServer> server;

    void SetUp() override {
        server = HTTPServer::create(socketPath, echoHandler);
        server->receiveTimeout = 300ms;
        server->sendTimeout = 300ms;
        server->start();
    }
    void TearDown() override { server->stop(); }
};

}  // namespace

TEST(HttpServerSocket, PathLimitIs103Bytes) {
    TempDir dir;
    std::string longest = dir.path() + "/" + std::string(102 - dir.path().size(), 's');
    ASSERT_EQ(longest.size(), 103u);
    auto server = HTTPServer::create(longest, echoHandler);
    struct stat info;
    ASSERT_EQ(::stat(longest.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    server->stop();

    try {
        HTTPServer::create(longest + "x", echoHandler);
        FAIL() << "a 104-byte path was accepted";
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status, 500);
        EXPECT_EQ(e.message, "socket path too long");
    }
}

// Whatever is at the path is looked at first: only a socket nobody serves is replaced, and a
// server removes only the socket file it bound itself.
TEST(HttpServerSocket, APathInUseIsNeverTakenOver) {
    TempDir dir;
    std::string path = dir.path() + "/s.sock";
    auto refusal = [&](const std::string& at) {
        try {
            HTTPServer::create(at, echoHandler);
        } catch (const HTTPError& e) {
            return e.message;
        }
        return std::string("created");
    };

    { std::ofstream(path) << "notes"; }
    EXPECT_EQ(refusal(path), "a file that is not a socket is in the way");
    EXPECT_EQ((std::stringstream() << std::ifstream(path).rdbuf()).str(), "notes");
    ::unlink(path.c_str());

    auto first = HTTPServer::create(path, echoHandler);
    first->start();
    EXPECT_EQ(refusal(path), "another instance is serving it");
    EXPECT_EQ(httpExchange(path, "GET /still HTTP/1.1\r\n\r\n").status, 200);

    // A socket whose server is gone.
    std::string stale = dir.path() + "/stale.sock";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    EXPECT_EQ(refusal(stale), "created");

    // Another server took the path over (its file replaced the first one's): stopping the
    // first leaves it alone.
    ::unlink(path.c_str());
    auto second = HTTPServer::create(path, echoHandler);
    second->start();
    first->stop();
    EXPECT_EQ(httpExchange(path, "GET /second HTTP/1.1\r\n\r\n").status, 200);
    second->stop();
    EXPECT_FALSE(fileExists(path));
}

TEST_F(ServerFixture, OneRequestPerConnectionThenClose) {
    SocketClient client(socketPath);
    ASSERT_TRUE(client.connected());
    // Two pipelined requests: only the first is answered.
    client.send("POST /first HTTP/1.1\r\nContent-Length: 2\r\n\r\nhiGET /second HTTP/1.1\r\n\r\n");
    std::string raw = client.readAll(5s);
    auto response = parseResponse(raw);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers["connection"], "close");
    EXPECT_EQ(response.body, R"({"body":"hi","path":"/first"})");
    EXPECT_EQ(raw.find("/second"), std::string::npos);
}

TEST_F(ServerFixture, ErrorsBecomeJsonAnswers) {
    auto conflict = httpExchange(socketPath, "GET /teapot HTTP/1.1\r\n\r\n");
    EXPECT_EQ(conflict.statusLine, "HTTP/1.1 409 Conflict");
    EXPECT_EQ(conflict.body, R"({"error":"busy","retryAfter":3})");

    auto crash = httpExchange(socketPath, "GET /crash HTTP/1.1\r\n\r\n");
    EXPECT_EQ(crash.status, 500);
    EXPECT_EQ(crash.body, R"({"error":"handler broke"})");
    EXPECT_EQ(httpExchange(socketPath, "NONSENSE\r\n\r\n").body, R"({"error":"malformed request line"})");
}

TEST_F(ServerFixture, SilentClientIsDroppedWithoutHoldingOthers) {
    SocketClient silent(socketPath);
    ASSERT_TRUE(silent.connected());
    // While it says nothing, other clients are served.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(httpExchange(socketPath, "GET /other HTTP/1.1\r\n\r\n").status, 200);
    auto response = parseResponse(silent.readAll(5s));
    EXPECT_EQ(response.status, 400);
    EXPECT_EQ(response.body, R"({"error":"connection closed before request was complete"})");
}

TEST_F(ServerFixture, AClientThatStopsReadingEndsItsResponseWithoutHoldingOthers) {
    SocketClient stalled(socketPath);
    ASSERT_TRUE(stalled.send("GET /flood HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(httpExchange(socketPath, "GET /other HTTP/1.1\r\n\r\n").status, 200);
    EXPECT_TRUE(eventually([] { return floodEnded.load(); }, 3s));
}

TEST_F(ServerFixture, ManyConcurrentClients) {
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&, i] {
            for (int k = 0; k < 10; ++k) {
                auto r = httpExchange(socketPath, "GET /c" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
                if (r.status == 200 && r.body.find("/c" + std::to_string(i)) != std::string::npos) ++ok;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(ok.load(), 320);
}

TEST_F(ServerFixture, StopRemovesTheSocket) {
    EXPECT_TRUE(fileExists(socketPath));
    server->stop();
    EXPECT_FALSE(fileExists(socketPath));
    EXPECT_FALSE(SocketClient(socketPath).connected());
}

// At the cap a newcomer takes the place of a connection still waiting for its request, and
// is answered 503 at once when every one is busy; stop() ends the live ones (a held stream
// sees the end between its sections) and joins their threads.
TEST(HttpServerConnections, CappedAndEndedByStop) {
    TempDir dir;
    std::string path = dir.path() + "/s.sock";
    auto server = HTTPServer::create(path, echoHandler);
    server->maxConnections = 1;
    server->start();
    SocketClient silent(path);
    ASSERT_TRUE(eventually([&] { return server->liveConnections() == 1; }));
    EXPECT_EQ(httpExchange(path, "GET /other HTTP/1.1\r\n\r\n").status, 200);
    EXPECT_EQ(silent.readAll(1s), "");
    ASSERT_TRUE(eventually([&] { return server->liveConnections() == 0; }));

    SocketClient held(path);
    ASSERT_TRUE(held.send("GET /hold HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(eventually([&] { return holding == 1 && server->liveConnections() == 1; }));
    // Answered on arrival, before any request is read.
    auto refused = parseResponse(SocketClient(path).readAll(2s));
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body, R"({"error":"too many connections"})");

    server->stop();
    EXPECT_EQ(server->liveConnections(), 0u);
    EXPECT_EQ(held.readAll(1s), "");
}

TEST(HttpServerFatal, BrokenListenerIsReportedOnceAndCleanedUp) {
    TempDir dir;
    std::string path = dir.path() + "/s.sock";
    LogCapture log;

    auto server = HTTPServer::create(path, echoHandler);
    std::atomic<int> fatalCalls{0};
    std::string fatalMessage;
    server->onFatal = [&](const std::string& message) {
        fatalMessage = message;
        ++fatalCalls;
    };
    server->start();
    int fd = findListeningSocket(path);
    ASSERT_GE(fd, 0);
    ::shutdown(fd, SHUT_RDWR);  // accept now fails with EINVAL, which is not transient

    EXPECT_TRUE(eventually([&] { return fatalCalls == 1; }));
    EXPECT_EQ(fatalMessage, "accept failed: Invalid argument");
    EXPECT_FALSE(fileExists(path));
    server->stop();  // nothing left to do
    EXPECT_EQ(fatalCalls.load(), 1);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"accept failed: Invalid argument"});
}
