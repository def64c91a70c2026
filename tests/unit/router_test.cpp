// Dispatch, the shared parameter rules, and the event feed over a transport the test holds.
#include "http/HTTPError.h"
#include "service/Router.h"
#include "service/ScreenState.h"
#include "support/FakeTransport.h"
#include "support/ManualTaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

using namespace tovo;
using namespace std::chrono_literals;
using tovo::test::FakeTransport;
using tovo::test::ManualTaskQueue;

namespace {

std::pair<int, std::string> dispatch(const std::string& method, const std::string& path) {
    HTTPRequest request;
    request.method = method;
    request.path = path;
    Connection connection(std::make_shared<FakeTransport>());
    try {
        Router::handle(request, connection);
    } catch (const HTTPError& e) {
        return {e.status, e.message};
    }
    return {200, ""};
}

HTTPRequest withQuery(std::map<std::string, std::string> query) {
    HTTPRequest request;
    request.query = std::move(query);
    return request;
}

std::string unitError(const std::string& value) {
    try {
        Router::unitParameter(withQuery({{"x", value}}), "x");
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status, 400);
        return e.message;
    }
    return "";
}

}  // namespace

TEST(Router, UnknownPathsAndWrongMethods) {
    EXPECT_EQ(dispatch("HEAD", "/status"), std::make_pair(405, std::string("method HEAD not allowed on /status")));
    EXPECT_EQ(dispatch("GET", "/input"), std::make_pair(405, std::string("method GET not allowed on /input")));
    EXPECT_EQ(dispatch("DELETE", "/clipboard"), std::make_pair(405, std::string("method DELETE not allowed on /clipboard")));
    EXPECT_EQ(dispatch("GET", "/nope"), std::make_pair(404, std::string("no such endpoint /nope")));
    EXPECT_EQ(dispatch("GET", "/status/"), std::make_pair(404, std::string("no such endpoint /status/")));
    // Pairing exists only on the remote listener.
    EXPECT_EQ(dispatch("POST", "/pair"), std::make_pair(404, std::string("no such endpoint /pair")));

    auto routes = Router::routeList();
    EXPECT_EQ(routes.size(), 28u);
    EXPECT_EQ(routes.front(), "GET /status");
    EXPECT_EQ(routes.back(), "POST /remote/disconnect");
}

TEST(Router, EndpointsOfLaterSubsystemsSayTheyAreMissing) {
    for (const std::string& route : Router::routeList()) {
        std::string method = route.substr(0, route.find(' '));
        std::string path = route.substr(route.find(' ') + 1);
        static const std::set<std::string> built = {"/status",      "/events",         "/permissions/request",
                                                    "/frame",       "/stream",         "/stream/ack",
                                                    "/input",       "/windows",        "/app/windows",
                                                    "/app/screenshot", "/app/ax",      "/focus",
                                                    "/hit"};
        if (built.count(path)) continue;
        EXPECT_EQ(dispatch(method, path), std::make_pair(503, path + " is not available in this build")) << route;
    }
}

TEST(Router, UnitParameters) {
    EXPECT_EQ(Router::unitParameter(withQuery({{"x", "0"}}), "x"), 0.0);
    EXPECT_EQ(Router::unitParameter(withQuery({{"x", "1"}}), "x"), 1.0);
    EXPECT_EQ(Router::unitParameter(withQuery({{"x", "0.25"}}), "x"), 0.25);
    EXPECT_EQ(Router::unitParameter(withQuery({{"x", "1e-1"}}), "x"), 0.1);
    EXPECT_EQ(unitError(""), "x is required");
    try {
        Router::unitParameter(withQuery({}), "y");
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.message, "y is required");
    }
    for (const char* bad : {"1.5", "-0.1", "abc", "0.5x", " 0.5", "nan", "inf", "1e9"}) {
        EXPECT_EQ(unitError(bad), "x must be a number in 0…1") << bad;
    }
}

TEST(Router, JsonBodies) {
    HTTPRequest request;
    request.body = R"({"a": 1})";
    EXPECT_EQ(Router::jsonBody(request)["a"], 1);
    for (const char* bad : {"", "[1]", "\"text\"", "{", "null", "{\"a\":1} trailing"}) {
        request.body = bad;
        try {
            Router::jsonBody(request);
            FAIL() << bad;
        } catch (const HTTPError& e) {
            EXPECT_EQ(e.status, 400);
            EXPECT_EQ(e.message, "body must be a JSON object");
        }
    }
}

namespace {

// A transport safe to watch from the test thread while the feed writes on another.
class FeedTransport : public ByteTransport {
public:
    std::string receive(size_t) override { return {}; }
    bool send(std::string_view data) override {
        std::lock_guard<std::mutex> guard(lock);
        sent.append(data);
        return true;
    }
    bool hungUp() override { return gone; }
    void close() override {}

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        size_t body = sent.find("\r\n\r\n");
        if (body == std::string::npos) return out;
        size_t at = body + 4;
        for (size_t nl; (nl = sent.find('\n', at)) != std::string::npos; at = nl + 1) out.push_back(sent.substr(at, nl - at));
        return out;
    }
    std::string head() {
        std::lock_guard<std::mutex> guard(lock);
        return sent.substr(0, sent.find("\r\n\r\n") + 4);
    }
    bool waitForLines(size_t count, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (lines().size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::atomic<bool> gone{false};

private:
    std::mutex lock;
    std::string sent;
};

struct FeedFixture : ::testing::Test {
    std::shared_ptr<ManualTaskQueue> queue = std::make_shared<ManualTaskQueue>();
    std::shared_ptr<ScreenStateTracker> tracker = std::make_shared<ScreenStateTracker>([] { return 50.0; }, queue);
    std::atomic<bool> loggedIn{true};
    std::shared_ptr<FeedTransport> transport = std::make_shared<FeedTransport>();
    std::thread feed;
    std::atomic<bool> ended{false};

    void SetUp() override {
        tracker->setInputs([this] { return ScreenStateInputs{loggedIn, true, 4, std::nullopt}; });
        tracker->start();
        queue->fireTimer();
    }
    void TearDown() override {
        tracker->stop();
        if (feed.joinable()) feed.join();
    }
    void connect(std::chrono::milliseconds ping) {
        feed = std::thread([this, ping] {
            Connection connection(transport);
            HTTPRequest request;
            Router::events(request, connection, ping);
            ended = true;
        });
    }
};

}  // namespace

TEST_F(FeedFixture, StateAtConnectThenChangesAndPostedLines) {
    tracker->post("{\"type\":\"before\"}\n");  // posted before the client came: never sent
    connect(10s);
    ASSERT_TRUE(transport->waitForLines(1, 2s));
    EXPECT_EQ(transport->head(),
              "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(transport->lines()[0],
              R"({"console":null,"states":[{"display":4,"main":true,"phase":"ready","since":50000}],"type":"state"})");

    tracker->post("{\"type\":\"abort\",\"reason\":\"esc\"}\n");
    ASSERT_TRUE(transport->waitForLines(2, 2s));
    EXPECT_EQ(transport->lines()[1], R"({"type":"abort","reason":"esc"})");

    // A clipboard-style bump moves the change counter without a new state line.
    tracker->bumpVersion();
    loggedIn = false;
    queue->fireTimer();
    ASSERT_TRUE(transport->waitForLines(3, 2s));
    auto lines = transport->lines();
    EXPECT_NE(lines[2].find("\"reason\":\"no-session\""), std::string::npos) << lines[2];
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(transport->lines().size(), 3u);
}

TEST_F(FeedFixture, PingsAfterSilenceAndEndsWhenThePeerLeaves) {
    connect(100ms);
    ASSERT_TRUE(transport->waitForLines(3, 2s));
    auto lines = transport->lines();
    EXPECT_EQ(lines[1], R"({"type":"ping"})");
    EXPECT_EQ(lines[2], R"({"type":"ping"})");

    auto left = std::chrono::steady_clock::now();
    transport->gone = true;
    while (!ended && std::chrono::steady_clock::now() - left < 3s) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(ended);
}

TEST_F(FeedFixture, EndsWhenTheTrackerStops) {
    connect(10s);
    ASSERT_TRUE(transport->waitForLines(1, 2s));
    tracker->stop();
    feed.join();
    EXPECT_TRUE(ended);
}

TEST(RouterEvents, WithoutATrackerAnswers503) {
    Connection connection(std::make_shared<FakeTransport>());
    HTTPRequest request;
    try {
        Router::events(request, connection, 15s);
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status, 503);
        EXPECT_EQ(e.message, "the screen state is not running");
    }
}
