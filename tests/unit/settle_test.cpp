// Waiting for the screen to settle: quiet time, time-outs, and what does not count as change.
#include "capture/ScreenSettle.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

namespace tovo::test {
namespace {

// Marks from a script: each look takes the next one (the last repeats).
class ScriptedMarks : public SolidCapturer {
public:
    explicit ScriptedMarks(std::vector<ScreenMark> script) : script(std::move(script)) {}
    std::optional<ScreenMark> mark(const PixelRect&) override {
        ScreenMark next = script[std::min(looks, script.size() - 1)];
        ++looks;
        return next;
    }
    size_t looks = 0;

private:
    std::vector<ScreenMark> script;
};

SettleWatch::Result settle(ScriptedMarks& marks, double quiet, double timeout) {
    double now = 0;
    return waitForSettle(
        marks, {0, 0, 64, 64}, quiet, timeout, [&] { return now; },
        [&](std::chrono::milliseconds step) { now += step.count() / 1000.0; });
}

TEST(Settle, QuietTimeCountsFromTheLastChangeAndTheWaitGivesUp) {
    auto mark = [](uint64_t changes, int pointerX = 0, uint64_t caret = 0) {
        return ScreenMark{changes, pointerX, 0, 0, caret};
    };
    // Changes on the first three looks (45 ms), then quiet: settled 150 ms after the last.
    ScriptedMarks busy({mark(1), mark(2), mark(3), mark(4), mark(4)});
    SettleWatch::Result result = settle(busy, 0.15, 3);
    EXPECT_TRUE(result.settled);
    EXPECT_NEAR(result.waited, 0.045 + 0.15, 0.016);

    // The pointer moving and a blinking caret are no change.
    ScriptedMarks pointerAndCaret({mark(1), mark(1, 10), mark(2, 20, 1), mark(3, 30, 2), mark(3, 40, 2)});
    EXPECT_NEAR(settle(pointerAndCaret, 0.1, 3).waited, 0.1, 0.016);

    // Never quiet: not settled once the time-out has passed.
    std::vector<ScreenMark> endless;
    for (uint64_t i = 0; i < 400; ++i) endless.push_back(mark(i));
    ScriptedMarks neverQuiet(endless);
    result = settle(neverQuiet, 0.15, 1);
    EXPECT_FALSE(result.settled);
    EXPECT_NEAR(result.waited, 1, 0.016);
}

TEST(Settle, ADisplayWhoseChangesCannotBeFollowedIsAFailureNotASettledScreen) {
    SolidCapturer noMarks;
    double now = 0;
    EXPECT_THROW(waitForSettle(
                     noMarks, {0, 0, 8, 8}, 0.1, 1, [&] { return now; }, [](std::chrono::milliseconds) {}),
                 CaptureFailure);
}

}  // namespace
}  // namespace tovo::test
