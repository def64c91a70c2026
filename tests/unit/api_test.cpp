// The API built over fakes, without an X server: routes, validation, the features' errors
// mapped to status codes, and what reaches the platform.
#include "base/MissingProtocol.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tovo::test {
namespace {

TEST(Api, FrameIsAJPEGOfTheDisplaySizedByMaxWidth) {
    FakeService fake;
    auto [status, body] = fake.call("GET", "/frame?maxWidth=320&quality=50");
    ASSERT_EQ(status, 200) << body;
    EXPECT_EQ(body.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_EQ(fake.head,
              "HTTP/1.1 200 OK\r\nX-Frame-Width: 320\r\nX-Frame-Height: 240\r\nX-Display: 1\r\n"
              "Cache-Control: no-store\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close");
}

TEST(Api, FrameFiltersCropAndSayHowAppsWereKeptOut) {
    FakeService fake;
    auto [status, body] = fake.call("GET", "/frame?maxWidth=640&visible=org.example.Editor&crop=0.25,0.25,0.5,0.5");
    ASSERT_EQ(status, 200) << body;
    EXPECT_NE(
        fake.head.find("X-Frame-Width: 320\r\nX-Frame-Height: 240\r\nX-Display: 1\r\nCache-Control: no-store\r\n"
                       "X-Crop: 0.2500,0.2500,0.5000,0.5000\r\nX-Frame-Filter: native\r\nContent-Type: image/jpeg"),
        std::string::npos)
        << fake.head;
    EXPECT_EQ(fake.call("GET", "/frame?crop=abc"),
              std::make_pair(400, std::string("crop must be x,y,w,h (normalized 0…1)")));
    EXPECT_EQ(fake.call("GET", "/stream?hide=a%20b"),
              std::make_pair(400, std::string("hide: a b is not a bundle id (a trailing * matches a prefix)")));
}

TEST(Api, DisplayAndPermissionFailuresKeepTheirCodes) {
    FakeService fake;
    EXPECT_EQ(fake.call("GET", "/frame?display=9"), std::make_pair(404, std::string("unknown display 9")));
    EXPECT_EQ(fake.call("GET", "/frame?display=x"), std::make_pair(400, std::string("display must be an integer")));
    fake.session->capture = false;
    EXPECT_EQ(fake.call("GET", "/frame").first, 403);
    fake.displays->set({});
    EXPECT_EQ(fake.call("GET", "/frame"), std::make_pair(503, std::string("this session has no display attached")));
    fake.session->loggedIn = false;
    EXPECT_EQ(fake.call("GET", "/frame"), std::make_pair(503, std::string("no graphical login session for this user")));
}

// A desktop that lacks a protocol a feature needs answers 503 and names the protocol, for
// pictures, streams and input alike.
TEST(Api, AMissingProtocolIsA503ThatNamesIt) {
    struct NoPointer : FakeInjector {
        void moveTo(double, double) override {
            throw MissingProtocol("zwlr_virtual_pointer_manager_v1", "pointer input");
        }
    };
    FakeService fake([](Platform& platform) {
        platform.makeCapturer = []() -> std::unique_ptr<ScreenCapturer> {
            throw MissingProtocol("zwlr_screencopy_manager_v1", "screen capture");
        };
        platform.injector = std::make_unique<NoPointer>();
    });
    const std::string capture =
        "screen capture needs the zwlr_screencopy_manager_v1 protocol, which this compositor does not offer";
    EXPECT_EQ(fake.call("GET", "/frame"), std::make_pair(503, capture));
    EXPECT_EQ(fake.call("GET", "/stream?fps=5").first, 503);
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"move","x":0.5,"y":0.5})"),
              std::make_pair(503, std::string("pointer input needs the zwlr_virtual_pointer_manager_v1 protocol, "
                                              "which this compositor does not offer")));
}

TEST(Api, InputPostsAtDisplayPixels) {
    FakeService fake;
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"click","x":0.5,"y":1})").first, 200);
    EXPECT_EQ(fake.injector->calls(), (std::vector<std::string>{"move 320 479", "down left", "up left"}));
    fake.injector->clear();
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"drag","x":0.25,"y":0.5,"dx":0.5,"dy":0.25})").first, 200);
    auto drag = fake.injector->calls();
    ASSERT_EQ(drag.size(), 13u);  // the press, ten steps with the button down, the release
    EXPECT_EQ(std::vector<std::string>(drag.begin(), drag.begin() + 2),
              (std::vector<std::string>{"move 160 240", "down left"}));
    EXPECT_EQ(std::vector<std::string>(drag.end() - 2, drag.end()),
              (std::vector<std::string>{"move 480 360", "up left"}));
    fake.injector->clear();
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"key","key":"Page_Up","modifiers":["cmd"]})").first, 200);
    const std::string pageUp = "key " + std::to_string(static_cast<unsigned>(Key::pageUp));
    EXPECT_EQ(fake.injector->calls(),
              (std::vector<std::string>{"mods 0x100000", pageUp + " down", pageUp + " up", "mods 0x0"}));
}

TEST(Api, InputButtonsClickCountsAndHeldKeys) {
    FakeService fake;
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"click","x":0,"y":0,"button":"middle","count":3})").first, 200);
    EXPECT_EQ(fake.injector->calls(), (std::vector<std::string>{"move 0 0", "down middle", "up middle", "down middle",
                                                                "up middle", "down middle", "up middle"}));
    fake.injector->clear();
    // A button pressed with "down" is the one "up" and a dragging move release.
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"down","x":0,"y":0,"button":"right"})").first, 200);
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"up","x":0,"y":0})").first, 200);
    EXPECT_EQ(fake.injector->calls(), (std::vector<std::string>{"move 0 0", "down right", "up right"}));
    fake.injector->clear();
    // Shift held by keyDown stays down around a click's own modifiers until keyUp.
    const std::string a = "key " + std::to_string(static_cast<unsigned>('a'));
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"keyDown","key":"a","modifiers":["shift"]})").first, 200);
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"click","x":0,"y":0,"modifiers":["ctrl"]})").first, 200);
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"keyUp","key":"a","modifiers":["shift"]})").first, 200);
    EXPECT_EQ(fake.injector->calls(),
              (std::vector<std::string>{"mods 0x20000", a + " down", "mods 0x60000", "move 0 0", "down left", "up left",
                                        "mods 0x20000", a + " up", "mods 0x0"}));
    for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
             {R"({"type":"click","x":0,"y":0,"count":4})", "count must be 1, 2 or 3"},
             {R"({"type":"down","x":0,"y":0,"button":"back"})", "button must be left, right or middle"},
             {R"({"type":"keyDown"})", "keyDown needs key and/or modifiers"},
             {R"({"type":"keyUp","key":"hyper"})", "unknown key hyper"},
         }) {
        EXPECT_EQ(fake.call("POST", "/input", body), std::make_pair(400, message));
    }
}

TEST(Api, BadInputIsRefusedBeforeAnythingIsPosted) {
    FakeService fake;
    const std::pair<std::string, std::string> cases[] = {
        {"[", "invalid JSON body: the body is not JSON"},
        {R"({"x":1})", "invalid JSON body: type is missing"},
        {R"({"type":"click"})", "click needs x and y (0…1)"},
        // Pixels where fractions belong are refused, not clamped to a corner.
        {R"({"type":"click","x":960,"y":0.5})", "x must be a number in 0…1"},
        {R"({"type":"down","x":0.5,"y":-0.01})", "y must be a number in 0…1"},
        {R"({"type":"key","key":"nope"})", "unknown key nope"},
        {R"({"type":"key","key":"a","modifiers":["hyper"]})", "unknown modifier hyper"},
        {R"({"type":"scroll","x":0.5,"y":0.5})", "scroll needs dx and/or dy"},
        {R"({"type":"move","x":0.5,"y":0.5,"seq":-1})", "seq must be a non-negative integer"},
        {R"({"type":"fly"})", "unknown input type fly"},
        // Distances that would flood the desktop with wheel clicks.
        {R"({"type":"scroll","dy":1e308})", "dy must be a number of pixels from -100000 to 100000"},
        {R"({"type":"scroll","dx":-100001,"dy":1})", "dx must be a number of pixels from -100000 to 100000"},
        {R"({"type":"type","text":")" + std::string(100001, 'a') + "\"}", "text must be at most 100000 characters"},
        // Nesting is refused before it is built.
        {std::string(65, '[') + std::string(65, ']'), "invalid JSON body: the body is not JSON"},
        {std::string(64, '[') + std::string(64, ']'), "invalid JSON body: the body must be a JSON object"},
    };
    for (const auto& [body, message] : cases)
        EXPECT_EQ(fake.call("POST", "/input", body), std::make_pair(400, message));
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"click","x":0.5,"y":0.5,"display":3})").first, 404);
    fake.session->input = false;
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"click","x":0.5,"y":0.5})").first, 403);
    EXPECT_TRUE(fake.injector->calls().empty());
}

TEST(Api, SmallBodyRoutesReadAtMost64KiB) {
    FakeService fake;
    auto served = [&](const std::string& head) {
        auto transport = std::make_shared<FakeTransport>(std::vector<std::string>{head, std::string(65537, ' ')});
        {
            Connection connection(transport);
            serveOneRequest(
                connection, [&](HTTPRequest& r, Connection& c) { fake.service->api().handle(r, c); },
                [&](const HTTPRequest& r) { return fake.service->api().router().bodyLimit(r); });
        }
        return std::make_pair(transport->sent.substr(0, transport->sent.find("\r\n")), transport->chunks.size());
    };
    // Refused from the head alone: the body is never read.
    EXPECT_EQ(served("POST /input HTTP/1.1\r\nContent-Length: 65537\r\n\r\n"),
              std::make_pair(std::string("HTTP/1.1 413 Payload Too Large"), size_t{1}));
    EXPECT_EQ(served("POST /stream/ack HTTP/1.1\r\nContent-Length: 65537\r\n\r\n").first,
              "HTTP/1.1 413 Payload Too Large");
    // The clipboard reads large bodies (and refuses this one, which is no JSON).
    EXPECT_EQ(served("POST /clipboard HTTP/1.1\r\nContent-Length: 65537\r\n\r\n"),
              std::make_pair(std::string("HTTP/1.1 400 Bad Request"), size_t{0}));
}

TEST(Api, TypingStopsWhenItsClientHasGone) {
    FakeService fake;
    LogCapture log;
    EXPECT_EQ(fake.call("POST", "/input", R"({"type":"type","text":")" + std::string(45, 'a') + "\"}", true).first,
              200);
    // The first chunk of 20 went out before anyone asked.
    EXPECT_EQ(fake.injector->calls(), std::vector<std::string>{"type " + std::string(20, 'a')});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"type: the client went away; stopped after 1 of 3 steps"});
}

TEST(Api, WindowsListsAppsPlacedOnTheirDisplay) {
    FakeService fake;
    fake.windows->records[0].title = "Draft";
    auto [status, body] = fake.call("GET", "/windows");
    ASSERT_EQ(status, 200);
    auto json = nlohmann::json::parse(body);
    EXPECT_EQ(json["apps"][0]["bundleId"], "org.example.Editor");
    EXPECT_EQ(json["windows"][0],
              nlohmann::json::parse(
                  R"({"pid":4242,"display":1,"x":0.1,"y":0.1,"w":0.5,"h":0.5,"layer":0,"id":77,"title":"Draft"})"));
    EXPECT_EQ(fake.call("GET", "/app/screenshot?window=78").first, 404);
    EXPECT_EQ(fake.call("GET", "/app/screenshot?window=77&hide=org.example.*").first, 403);
    EXPECT_EQ(fake.call("GET", "/app/screenshot?window=77").first, 200);
}

TEST(Api, WholeNumbersAreWrittenAsIntegers) {
    FakeService fake;
    auto [status, body] = fake.call("GET", "/status");
    ASSERT_EQ(status, 200);
    EXPECT_NE(body.find(R"("height":480,)"), std::string::npos) << body;
    EXPECT_NE(body.find(R"("scale":1,)"), std::string::npos) << body;
}

TEST(Api, QueriesAreCheckedParameterByParameter) {
    FakeService fake;
    const std::tuple<std::string, int, std::string> cases[] = {
        {"/hit?y=0.5", 400, "x is required"},
        {"/hit?x=2&y=0.5", 400, "x must be a number in 0…1"},
        {"/stream?stream=short", 400, "stream must be 8–64 characters of A-Z a-z 0-9 _ -"},
        {"/stream?ack=2", 400, "ack must be 1"},
        {"/stream?cursor=server", 400, "cursor must be client"},
        {"/stream?maxKbps=99", 400, "maxKbps must be an integer 100…100000"},
        {"/stream?status=yes", 400, "status must be 1"},
        {"/app/windows", 400, "bundleId is required"},
        {"/app/ax?window=77", 404, ""},  // the app answers no accessible window
        {"/app/ax", 400, "window is required"},
        {"/audio", 503, "/audio is not available in this build"},
        {"/nowhere", 404, "no such endpoint /nowhere"},
    };
    for (const auto& [target, status, message] : cases) {
        auto answer = fake.call("GET", target);
        EXPECT_EQ(answer.first, status) << target;
        if (!message.empty()) EXPECT_EQ(answer.second, message) << target;
    }
    EXPECT_EQ(fake.call("POST", "/frame").first, 405);
}

// A stream request that fails validation is no stream: it must not release a button held
// through /input (a drag in progress).
TEST(Api, ARefusedStreamLeavesAHeldButtonDown) {
    FakeService fake;
    ASSERT_EQ(fake.call("POST", "/input", R"({"type":"down","x":0.5,"y":0.5})").first, 200);
    fake.injector->clear();
    EXPECT_EQ(fake.call("GET", "/stream?ack=2").first, 400);
    EXPECT_TRUE(fake.injector->calls().empty());
}

TEST(Api, RemoteRoutesWithoutRemoteAccess) {
    FakeService fake;
    EXPECT_EQ(fake.call("GET", "/remote"),
              std::make_pair(404, std::string("remote access is not on in this process (no --remote)")));
    EXPECT_EQ(fake.call("POST", "/control", R"({"controller":"user"})"),
              std::make_pair(404, std::string("POST /control is for paired devices (the remote listener)")));
    auto [status, body] = fake.call("GET", "/status");
    EXPECT_NE(body.find(R"("control":{"controller":"none"})"), std::string::npos) << body;
}

TEST(Api, AnotherListenerServesTheSameRoutesUnderItsAllowList) {
    FakeService fake;
    Router remote = fake.service->api().router().restrictedTo({"GET /status"});
    EXPECT_EQ(remote.list(), std::vector<std::string>{"GET /status"});
    HTTPRequest request{"GET", "/frame", {}, {}, {}, {}};
    Connection connection(std::make_shared<FakeTransport>());
    try {
        remote.handle(request, connection);
        ADD_FAILURE() << "served a route outside the allow-list";
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status, 404);  // as if it did not exist
    }
}

}  // namespace
}  // namespace tovo::test
