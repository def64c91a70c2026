// The request reader and response writer of Connection, driven through a scripted
// transport so that every byte boundary can be tried.
#include "http/Connection.h"
#include "http/HTTPError.h"
#include "support/FakeTransport.h"

#include <gtest/gtest.h>

#include <random>

using namespace tovo;
using tovo::test::FakeTransport;

namespace {

struct Reader {
    std::shared_ptr<FakeTransport> transport;
    std::unique_ptr<Connection> connection;

    explicit Reader(std::vector<std::string> chunks)
        : transport(std::make_shared<FakeTransport>(std::move(chunks))),
          connection(std::make_unique<Connection>(transport)) {}
    explicit Reader(const std::string& bytes) : Reader(std::vector<std::string>{bytes}) {}
};

// The status and message an HTTPError carries, or {0, ""} when `f` does not throw one.
template <typename F>
std::pair<int, std::string> errorOf(F&& f) {
    try {
        f();
    } catch (const HTTPError& e) {
        return {e.status, e.message};
    }
    return {0, ""};
}

const std::string sampleRequest =
    "post /upload%20here?x=1&y&x=2&name=%E6%9D%B1 HTTP/1.1\r\n"
    "Host: x\r\n"
    "X-Trim:   padded value \t\r\n"
    "x-repeat: first\r\n"
    "X-Repeat: second\r\n"
    "no colon line\r\n"
    "Content-Length: 11\r\n"
    "\r\n"
    "hello world"
    "GET /next HTTP/1.1\r\n\r\n";

}  // namespace

TEST(HttpParser, AnyChunkingGivesTheSameRequestsAndKeepsPipelinedBytes) {
    std::mt19937 random(7);
    std::vector<std::vector<size_t>> chunkings = {{1}, {2}, {3}, {sampleRequest.size()}, {4, 1, 8192}};
    for (int i = 0; i < 40; ++i) {
        std::vector<size_t> sizes;
        for (int k = 0; k < 16; ++k) sizes.push_back(1 + random() % 40);
        chunkings.push_back(sizes);
    }
    for (const auto& sizes : chunkings) {
        Reader reader(FakeTransport::split(sampleRequest, sizes));
        auto [request, length] = reader.connection->readHead();
        ASSERT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/upload here");
        EXPECT_EQ(request.query, (std::map<std::string, std::string>{{"x", "2"}, {"y", ""}, {"name", "東"}}));
        EXPECT_EQ(request.headers.at("x-trim"), "padded value");
        EXPECT_EQ(request.headers.at("x-repeat"), "second");
        EXPECT_EQ(request.headers.size(), 4u);
        ASSERT_EQ(length, 11);
        EXPECT_EQ(reader.connection->readBody(length, 100), "hello world");

        auto [next, nextLength] = reader.connection->readHead();
        EXPECT_EQ(next.path, "/next");
        EXPECT_EQ(nextLength, 0);
        EXPECT_TRUE(reader.connection->pending.empty());
        for (size_t asked : reader.transport->maxAsked) EXPECT_LE(asked, Connection::bodyReceiveSize);
    }
}

TEST(HttpParser, BadHeadsAndBodiesAreRefusedWithTheirCodes) {
    struct Case {
        std::vector<std::string> chunks;
        int status;
        std::string message;
    };
    const std::string big(70000, 'a');
    const Case cases[] = {
        {{"GET /x\r\n\r\n"}, 400, "malformed request line"},
        {{"GET /x HTTP/1.1 extra\r\n\r\n"}, 400, "malformed request line"},
        {{"\r\n\r\n"}, 400, "malformed request line"},
        {FakeTransport::split("GET / HTTP/1.1\r\nX-Big: " + big, {8192}), 431, "request headers too large"},
        {{"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"}, 400, "bad Content-Length"},
        {{"POST / HTTP/1.1\r\nContent-Length: 1.5\r\n\r\n"}, 400, "bad Content-Length"},
        {{"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n"}, 400, "bad Content-Length"},
        {{"POST / HTTP/1.1\r\nContent-Length: +-1\r\n\r\n"}, 400, "bad Content-Length"},
        // Lengths that disagree would let a second request hide in the first one's body.
        {{"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 0\r\n\r\nGET /"}, 400, "bad Content-Length"},
        {{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"}, 400, "chunked request bodies are not supported"},
        {{"GET / HTTP/1.1\r\nHost"}, 400, "connection closed before request was complete"},
        {{"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort"}, 400, "connection closed before body was complete"},
        // Refused before a byte of the body is read.
        {{"POST / HTTP/1.1\r\nContent-Length: 8388609\r\n\r\n"}, 413, "body too large"},
    };
    for (const auto& c : cases) {
        Reader reader(c.chunks);
        auto answer = errorOf([&] {
            int64_t length = reader.connection->readHead().second;
            reader.connection->readBody(length, 8388608);
        });
        EXPECT_EQ(answer, std::make_pair(c.status, c.message)) << c.chunks.front().substr(0, 60);
    }

    // A head just under the limit is accepted; the identity encoding and a "+" length are fine.
    std::string fits = "GET / HTTP/1.1\r\nX-Big: " + std::string(65000, 'a') + "\r\n\r\n";
    EXPECT_EQ(Reader(FakeTransport::split(fits, {8192})).connection->readHead().first.headers.at("x-big").size(),
              65000u);
    EXPECT_EQ(Reader("POST / HTTP/1.1\r\nTransfer-Encoding: IdEnTiTy\r\n\r\n").connection->readHead().second, 0);
    EXPECT_EQ(Reader("POST / HTTP/1.1\r\nContent-Length: +7\r\n\r\n").connection->readHead().second, 7);
    EXPECT_EQ(Reader("POST / HTTP/1.1\r\nContent-Length: 7\r\ncontent-length: 7\r\n\r\n").connection->readHead().second,
              7);

    // Between requests a clean close is quiet only when asked for, and only with nothing buffered.
    EXPECT_THROW(Reader(std::vector<std::string>{}).connection->readHead(true), Connection::Idle);
    EXPECT_EQ(errorOf([] { Reader("GE").connection->readHead(true); }).first, 400);
}

TEST(HttpParser, TargetsAndQueryIntegers) {
    auto parse = [](const std::string& target) {
        return Reader("GET " + target + " HTTP/1.1\r\n\r\n").connection->readHead().first;
    };
    auto request = parse("/a%20b?x=1&y&x=2");
    EXPECT_EQ(request.path, "/a b");
    EXPECT_EQ(request.query, (std::map<std::string, std::string>{{"x", "2"}, {"y", ""}}));

    EXPECT_EQ(parse("/p?q=a+b%2B&&=v").query.at("q"), "a+b+");
    EXPECT_EQ(parse("/frag?a=1#b=2").query.size(), 1u);
    // Not a URL: the raw target is the path and there is no query.
    auto bad = parse("/bad%zz?x=1");
    EXPECT_EQ(bad.path, "/bad%zz?x=1");
    EXPECT_TRUE(bad.query.empty());
    EXPECT_EQ(parse("/%FF?x=1").path, "/%FF?x=1");  // decodes to bytes that are not UTF-8
    EXPECT_EQ(parse("/trailing%2").path, "/trailing%2");

    auto numbers = parse("/n?plus=%2B5&minus=-3&empty=&word=abc&huge=99999999999999999999&space=%205");
    EXPECT_EQ(numbers.integer("plus"), 5);
    EXPECT_EQ(numbers.integer("minus"), -3);
    EXPECT_EQ(numbers.integer("empty"), std::nullopt);
    EXPECT_EQ(numbers.integer("absent"), std::nullopt);
    for (const char* name : {"word", "huge", "space"}) {
        EXPECT_EQ(errorOf([&] { numbers.integer(name); }),
                  std::make_pair(400, std::string(name) + " must be an integer"));
    }
}

TEST(HttpResponse, JsonAnswerIsCompleteSortedAndClosing) {
    auto transport = std::make_shared<FakeTransport>();
    Connection connection(transport);
    connection.json(404, {{"zeta", 1}, {"alpha", "x"}, {"error", "no such endpoint /q"}});
    const std::string body = R"({"alpha":"x","error":"no such endpoint /q","zeta":1})";
    EXPECT_EQ(transport->sent, "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    EXPECT_FALSE(connection.reusable);
}

TEST(HttpResponse, TextThatIsNotUtf8IsRepairedOnTheWayInAndOut) {
    auto request = Reader("GET / HTTP/1.1\r\nX-Name: a\xff\xc3z\r\n\r\n").connection->readHead().first;
    EXPECT_EQ(request.headers.at("x-name"), "a\xEF\xBF\xBD\xEF\xBF\xBDz");
    auto transport = std::make_shared<FakeTransport>();
    Connection connection(transport);
    connection.json(400, {{"error", std::string("bad \xff name")}});
    EXPECT_NE(transport->sent.find("{\"error\":\"bad \xEF\xBF\xBD name\"}"), std::string::npos) << transport->sent;
}

TEST(HttpConnection, PeerClosedBetweenParts) {
    auto transport = std::make_shared<FakeTransport>();
    Connection connection(transport);
    EXPECT_FALSE(connection.peerClosed());
    transport->peerGone = true;
    EXPECT_TRUE(connection.peerClosed());
    EXPECT_FALSE(connection.isEndedByServer());  // the peer left; the server did not end it
    transport->peerGone = false;

    int woken = 0;
    connection.onEndedByServer([&] { ++woken; });
    connection.endByServer();
    EXPECT_TRUE(connection.peerClosed());
    EXPECT_EQ(woken, 1);

    // Destroying the connection closes its transport.
    { Connection scoped(transport); }
    EXPECT_EQ(transport->closeCalls, 1);
}

// A head that trickles in must still be whole ten seconds after its first byte; waiting for
// the first byte is the transport's own time-out.
TEST(HttpParser, AHeadHasTenSecondsFromItsFirstByte) {
    double now = 0;
    auto transport = std::make_shared<FakeTransport>(FakeTransport::split("GET /slow HTTP/1.1\r\n\r\n", {1}));
    std::vector<double> within;
    transport->beforeReceive = [&](std::optional<double> seconds) {
        if (seconds) within.push_back(*seconds);
        now += 4;
    };
    Connection connection(transport, [&] { return now; });
    EXPECT_EQ(errorOf([&] { connection.readHead(); }),
              std::make_pair(400, std::string("connection closed before request was complete")));
    // The first byte came at 4 s; the receives after it were bounded by what was left.
    EXPECT_EQ(within, (std::vector<double>{10, 6, 2}));

    // The same head at once is fine, however long the wait for it.
    now = 0;
    auto prompt = std::make_shared<FakeTransport>(std::vector<std::string>{"GET /ok HTTP/1.1\r\n\r\n"});
    prompt->beforeReceive = [&](std::optional<double>) { now += 60; };
    EXPECT_EQ(Connection(prompt, [&] { return now; }).readHead().first.path, "/ok");
}

// A body left unread would be taken for the next request; a client that asked
// "Expect: 100-continue" is told to go on only when its body is wanted and not yet sent.
TEST(HttpConnection, UnreadBodiesCloseAndExpectContinueIsAnswered) {
    const std::string smuggled = "GET /status HTTP/1.1\r\n\r\n";
    Reader refused("POST /pair HTTP/1.1\r\nContent-Length: 70000\r\nConnection: keep-alive\r\n\r\n" + smuggled);
    refused.connection->persistent = true;
    auto length = refused.connection->readHead().second;
    EXPECT_EQ(errorOf([&] { refused.connection->readBody(length, 65536); }).first, 413);
    refused.connection->json(413, {{"error", "too large"}});
    EXPECT_NE(refused.transport->sent.find("Connection: close\r\n"), std::string::npos);
    EXPECT_FALSE(refused.connection->reusable);

    Reader upload(std::vector<std::string>{
        "POST /clipboard HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n", "hello"});
    length = upload.connection->readHead().second;
    EXPECT_EQ(upload.transport->sent, "");  // nothing before the head is accepted
    EXPECT_EQ(upload.connection->readBody(length, 65536), "hello");
    EXPECT_EQ(upload.transport->sent, "HTTP/1.1 100 Continue\r\n\r\n");
    upload.connection->persistent = true;
    upload.connection->json(200, {{"ok", true}});
    EXPECT_TRUE(upload.connection->reusable);

    Reader sentAlready("POST /clipboard HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nhello");
    length = sentAlready.connection->readHead().second;
    EXPECT_EQ(sentAlready.connection->readBody(length, 65536), "hello");
    EXPECT_EQ(sentAlready.transport->sent, "");
}
