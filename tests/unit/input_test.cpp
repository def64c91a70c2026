// The input plans, typing, key names, button state, the stale-move gate and pointer holds,
// against a recording injector, a recording sleeper and a hand-set clock.
#include "base/Clock.h"
#include "input/Input.h"
#include "input/Keys.h"
#include "input/PointerHold.h"
#include "http/HTTPError.h"
#include "service/ScreenHost.h"
#include "support/FakeDesktop.h"
#include "support/FakeInjector.h"
#include "support/HandlerCall.h"
#include "support/LogCapture.h"
#include "support/ManualTaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace tovo;
using namespace tovo::test;
using Calls = std::vector<std::string>;

namespace {

// Pauses appear in the injector's record as "pause N", and move the clock.
struct InputFixture : ::testing::Test {
    FakeDesktop desktop{1512, 982};
    std::shared_ptr<FakeInjector> injector = std::make_shared<FakeInjector>();
    // Read by the shared hold registry's timer thread as well.
    std::atomic<double> clock{100};

    void SetUp() override {
        Input::setInjector(injector);
        setMonotonicClock([this] { return clock.load(); });
        setPauseFunction([this](std::chrono::milliseconds d) {
            injector->record("pause " + std::to_string(d.count()));
            clock = clock + d.count() / 1000.0;
        });
        CGButtonState::shared().clear();
    }
    void TearDown() override {
        Input::setInjector(nullptr);
        setMonotonicClock(nullptr);
        setPauseFunction(nullptr);
        PointerHolds::shared().releaseAll("the test ended");
    }

    Calls run(const std::string& body) {
        injector->clear();
        Input::plan(InputEvent::decode(body))();
        return injector->calls();
    }
    std::pair<int, std::string> post(const std::string& body) { return test::post(Input::handle, "/input", body); }
};

}  // namespace

TEST_F(InputFixture, ClickSequencesAndCoordinates) {
    EXPECT_EQ(run(R"({"type":"click","x":0.5,"y":0.5})"),
              (Calls{"move 756 491", "pause 10", "down left", "pause 15", "up left"}));
    EXPECT_EQ(run(R"({"type":"rightClick","x":1.0,"y":1.0,"modifiers":["Cmd","shift"]})"),
              (Calls{"mods 0x120000", "move 1511 981", "pause 10", "down right", "pause 15", "up right", "mods 0x0"}));
    EXPECT_EQ(run(R"({"type":"doubleClick","x":0,"y":0})"),
              (Calls{"move 0 0", "pause 10", "down left", "pause 15", "up left", "pause 60", "down left", "pause 15",
                     "up left"}));
    // Out-of-range fractions are clamped onto the display.
    EXPECT_EQ(run(R"({"type":"move","x":-3,"y":7})"), (Calls{"move 0 981"}));
}

TEST_F(InputFixture, DragIsPressTenStepsRelease) {
    auto calls = run(R"({"type":"drag","x":0.1,"y":0.1,"dx":0.5,"dy":0.0,"modifiers":["alt"]})");
    ASSERT_EQ(calls.size(), 27u);
    EXPECT_EQ(calls[0], "mods 0x80000");
    EXPECT_EQ(calls[3], "down left");
    EXPECT_EQ(calls[4], "pause 30");
    EXPECT_EQ(calls[5], "move 226.8 98.2");  // start 151.2 + a tenth of 756
    EXPECT_EQ(calls[23], "move 907.2 98.2");
    EXPECT_EQ(calls[25], "up left");
    EXPECT_EQ(calls[26], "mods 0x0");
}

TEST_F(InputFixture, DownUpCarryThePressFlagsAndHoldAtLeast15ms) {
    EXPECT_EQ(run(R"({"type":"down","x":0.5,"y":0.5,"modifiers":["ctrl"]})"),
              (Calls{"mods 0x40000", "move 756 491", "pause 10", "down left", "mods 0x0"}));
    clock = clock + 0.005;
    // The up's own modifiers do not count; the press's do, after the rest of the 15 ms.
    EXPECT_EQ(run(R"({"type":"up","x":0.5,"y":0.5,"modifiers":["shift"]})"),
              (Calls{"pause 10", "mods 0x40000", "up left", "mods 0x0"}));
    EXPECT_EQ(run(R"({"type":"up","x":0.5,"y":0.5})"), (Calls{"up left"}));
    // A drag step while the button is down uses the press's flags.
    run(R"({"type":"down","x":0.5,"y":0.5,"modifiers":["shift"]})");
    clock = clock + 1;
    EXPECT_EQ(run(R"({"type":"move","x":0.25,"y":0.5,"button":"left"})"), (Calls{"mods 0x20000", "move 378 491", "mods 0x0"}));
}

TEST_F(InputFixture, KeysAndTyping) {
    EXPECT_EQ(run(R"({"type":"key","key":"Page_Up"})"), (Calls{"key 116 down", "pause 5", "key 116 up", "pause 5"}));
    EXPECT_EQ(run(R"({"type":"key","key":"Esc","modifiers":["command"]})"),
              (Calls{"mods 0x100000", "key 53 down", "pause 5", "key 53 up", "pause 5", "mods 0x0"}));
    EXPECT_EQ(Keys::lookup("enter"), 76);
    EXPECT_EQ(Keys::lookup("RETURN"), 36);
    EXPECT_EQ(Keys::lookup("page_down"), 121);
    EXPECT_EQ(Keys::lookup("f13"), std::nullopt);

    EXPECT_EQ(run(R"({"type":"type","text":"a\r\nb","modifiers":["cmd"]})"),
              (Calls{"type a", "pause 10", "key 36 down", "pause 5", "key 36 up", "pause 5", "type b", "pause 10"}));
    std::string letters(45, 'x');
    auto steps = Input::typingSteps(letters);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].text.size(), 20u);
    EXPECT_EQ(steps[1].text.size(), 20u);
    EXPECT_EQ(steps[2].text.size(), 5u);
    // Grapheme clusters are never split; an emoji is two UTF-16 units.
    auto emoji = Input::typingSteps(std::string(19, 'a') + "😀b");
    ASSERT_EQ(emoji.size(), 2u);
    EXPECT_EQ(emoji[0].text, std::string(19, 'a'));
    EXPECT_EQ(emoji[1].text, "😀b");
    auto family = Input::typingSteps("👩‍👩‍👧‍👦👩‍👩‍👧‍👦");  // 11 units each: sent one by one
    ASSERT_EQ(family.size(), 2u);
    EXPECT_EQ(Input::typingSteps("x\u2028y\ny").size(), 5u);
}

TEST_F(InputFixture, ValidationMessages) {
    auto error = [&](const std::string& body) { return post(body); };
    using E = std::pair<int, std::string>;
    EXPECT_EQ(error("{"), E(400, "invalid JSON body: the body is not JSON"));
    EXPECT_EQ(error(R"({"x":1})"), E(400, "invalid JSON body: type is missing"));
    EXPECT_EQ(error(R"({"type":"click","x":"left"})"), E(400, "invalid JSON body: x must be a number"));
    EXPECT_EQ(error(R"({"type":"tap"})"), E(400, "unknown input type tap"));
    EXPECT_EQ(error(R"({"type":"Click","x":0,"y":0})"), E(400, "unknown input type Click"));
    EXPECT_EQ(error(R"({"type":"click","x":0.5})"), E(400, "click needs x and y (0…1)"));
    EXPECT_EQ(error(R"({"type":"scroll","x":0.5,"dy":3})"), E(400, "scroll needs x and y (0…1)"));
    EXPECT_EQ(error(R"({"type":"scroll"})"), E(400, "scroll needs dx and/or dy"));
    EXPECT_EQ(error(R"({"type":"scroll","dy":1,"phase":"begun"})"), E(400, "phase must be began, changed or ended"));
    EXPECT_EQ(error(R"({"type":"drag","x":0,"y":0,"dx":1})"), E(400, "drag needs dx and dy"));
    EXPECT_EQ(error(R"({"type":"move","x":0,"y":0,"button":"right"})"), E(400, "button must be \"left\""));
    EXPECT_EQ(error(R"({"type":"type","text":""})"), E(400, "type needs text"));
    EXPECT_EQ(error(R"({"type":"key"})"), E(400, "key needs key"));
    EXPECT_EQ(error(R"({"type":"key","key":"hyper"})"), E(400, "unknown key hyper"));
    EXPECT_EQ(error(R"({"type":"key","key":"a","modifiers":["Meta"]})"), E(400, "unknown modifier Meta"));
    EXPECT_EQ(error(R"({"type":"click","x":0,"y":0,"display":9})"), E(404, "unknown display 9"));
    EXPECT_EQ(error(R"({"type":"move","x":0,"y":0,"seq":-1})"), E(400, "seq must be a non-negative integer"));
    EXPECT_TRUE(injector->calls().empty());

    // Without the permission a valid event is refused after validation, a bad one first.
    desktop.session->input = false;
    EXPECT_EQ(error(R"({"type":"click","x":0,"y":0})"),
              E(403, "Accessibility permission is not granted to " + ScreenHost::appName));
    EXPECT_EQ(error(R"({"type":"jump"})"), E(400, "unknown input type jump"));
    EXPECT_TRUE(injector->calls().empty());
}

TEST_F(InputFixture, StaleMovesAreDroppedWithinTwoSeconds) {
    EXPECT_EQ(post(R"({"type":"move","x":0,"y":0,"seq":12})").second, R"({"ok":true})");
    EXPECT_EQ(post(R"({"type":"move","x":0,"y":0,"seq":10})").second, R"({"ok":true,"stale":true})");
    clock = clock + 3;
    EXPECT_EQ(post(R"({"type":"move","x":0,"y":0,"seq":10})").second, R"({"ok":true})");
    EXPECT_EQ(post(R"({"type":"move","x":0,"y":0,"seq":2000})").second, R"({"ok":true})");
    EXPECT_EQ(post(R"({"type":"move","x":0,"y":0,"seq":5})").second, R"({"ok":true})");  // restarted far below
    EXPECT_EQ(post(R"({"type":"move","x":0,"y":0,"seq":5})").second, R"({"ok":true})");  // equal is not older
}

TEST_F(InputFixture, HeldButtonsAreReleasedWhenIdleOrStreamsEnd) {
    LogCapture log;
    auto queue = std::make_shared<ManualTaskQueue>();
    PointerHolds holds([this] { return clock.load(); }, queue);
    std::vector<std::string> released;
    auto release = [&](const std::string& name) {
        return [&, name](double x, double y) { released.push_back(name + " " + std::to_string(x).substr(0, 4) + " " +
                                                                  std::to_string(y).substr(0, 4)); };
    };
    holds.hold(7, "cg", 0.5, 0.5, release("seven"));
    holds.hold(3, "phone", 0.1, 0.2, release("three"));
    EXPECT_TRUE(queue->timerRunning());
    clock = clock + 6;
    holds.moved(7, 0.6, 0.6);
    clock = clock + 4;
    EXPECT_EQ(holds.expire(), std::vector<uint32_t>{3});  // display 7 moved 4 s ago
    EXPECT_EQ(released, std::vector<std::string>{"three 0.10 0.20"});
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "input: left button held on display 3 for 10 s without a move or up; releasing it (phone)"});
    clock = clock + 6;
    EXPECT_EQ(holds.expire(), std::vector<uint32_t>{7});
    EXPECT_FALSE(queue->timerRunning());

    // A second press on a display replaces a "cg" hold without releasing it.
    released.clear();
    holds.hold(2, "cg", 0, 0, release("first"));
    holds.hold(2, "cg", 0, 0, release("second"));
    holds.hold(1, "cg", 0, 0, release("one"));
    EXPECT_TRUE(released.empty());

    // Closing one of two streams keeps the holds; the last releases them in display order.
    holds.streamOpened();
    holds.streamOpened();
    holds.streamClosed();
    EXPECT_EQ(holds.count(), 2u);
    holds.streamClosed();
    EXPECT_EQ(released, (std::vector<std::string>{"one 0.00 0.00", "second 0.00 0.00"}));
    EXPECT_EQ(log.lines().back(), "input: the last stream closed with the left button held on display 2; releasing it (cg)");
    holds.streamClosed();
    EXPECT_EQ(holds.openStreams(), 0);

    // An up through the API removes a "cg" hold without a release of its own.
    holds.hold(4, "cg", 0, 0, release("four"));
    holds.unhold(4, 0.3, 0.3);
    EXPECT_EQ(holds.count(), 0u);
    EXPECT_EQ(released.size(), 2u);
}

TEST_F(InputFixture, TheApiRegistersHoldsAndTheirReleaseLiftsTheButton) {
    EXPECT_EQ(post(R"({"type":"down","x":0.25,"y":0.5,"modifiers":["shift"]})").first, 200);
    EXPECT_EQ(PointerHolds::shared().count(), 1u);
    injector->clear();
    clock = clock + 1;
    EXPECT_EQ(PointerHolds::shared().releaseAll("control changed"), std::vector<uint32_t>{1});
    EXPECT_EQ(injector->calls(), (Calls{"mods 0x20000", "move 378 491", "up left", "mods 0x0"}));
    EXPECT_EQ(post(R"({"type":"down","x":0.25,"y":0.5})").first, 200);
    EXPECT_EQ(post(R"({"type":"up","x":0.25,"y":0.5})").first, 200);
    EXPECT_EQ(PointerHolds::shared().count(), 0u);
}
