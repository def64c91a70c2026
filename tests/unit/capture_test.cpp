// Still-capture parameters, the cursor overlay, capture activity and latency, and the frame
// stream's tick logic over a scripted capturer.
#include "capture/CaptureActivity.h"
#include "capture/CaptureLatency.h"
#include "capture/CursorOverlay.h"
#include "capture/FrameStream.h"
#include "capture/StillCapture.h"
#include "service/ScreenHost.h"
#include "support/FakeDesktop.h"
#include "support/FakeTransport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace tovo;
using namespace tovo::test;
using namespace std::chrono_literals;

namespace {

HTTPRequest frameRequest(std::map<std::string, std::string> query) {
    HTTPRequest request;
    request.method = "GET";
    request.path = "/frame";
    request.query = std::move(query);
    return request;
}

std::pair<int, std::string> errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const HTTPError& e) {
        return {e.status, e.message};
    }
    return {0, ""};
}

}  // namespace

TEST(CaptureParams, DefaultsClampingAndErrors) {
    FakeDesktop desktop;
    auto defaults = CaptureParams::parse(frameRequest({}));
    EXPECT_EQ(defaults.display, 1u);
    EXPECT_EQ(defaults.maxWidth, 1280);
    EXPECT_EQ(defaults.quality, 70);
    auto low = CaptureParams::parse(frameRequest({{"maxWidth", "50"}, {"quality", "1"}}));
    EXPECT_EQ(low.maxWidth, 160);
    EXPECT_EQ(low.quality, 10);
    auto high = CaptureParams::parse(frameRequest({{"maxWidth", "10000"}, {"quality", "100"}}));
    EXPECT_EQ(high.maxWidth, 3840);
    EXPECT_EQ(high.quality, 95);
    auto huge = CaptureParams::parse(frameRequest({{"maxWidth", "99999999999"}}));
    EXPECT_EQ(huge.maxWidth, 3840);

    EXPECT_EQ(errorOf([] { CaptureParams::parse(frameRequest({{"maxWidth", "wide"}})); }),
              std::make_pair(400, std::string("maxWidth must be an integer")));
    EXPECT_EQ(errorOf([] { CaptureParams::parse(frameRequest({{"display", "7"}})); }),
              std::make_pair(404, std::string("unknown display 7")));

    // Without the capture grant /frame answers 403 after validating its parameters.
    desktop.session->capture = false;
    Connection connection(std::make_shared<FakeTransport>());
    EXPECT_EQ(errorOf([&] {
                  auto request = frameRequest({});
                  frame(request, connection);
              }),
              std::make_pair(403, "Screen Recording permission is not granted to " + ScreenHost::appName));
    desktop.session->loggedIn = false;
    desktop.displays->list.clear();
    EXPECT_EQ(errorOf([] { CaptureParams::parse(frameRequest({})); }),
              std::make_pair(503, std::string("no GUI login session for this macOS user")));
}

TEST(CursorOverlay, BlendsPremultipliedPixelsClippedToThePicture) {
    // A 4×2 white picture; a 2×2 cursor half outside its left edge.
    std::vector<uint8_t> pixels(4 * 2 * 4, 255);
    const uint32_t cursor[] = {0xFF000000, 0x80400000,   // opaque black, half-transparent dark red
                               0x00000000, 0xFF0000FF};  // transparent, opaque blue
    compositeCursor(pixels.data(), 4, 2, 16, CursorImage{cursor, 2, 2, -1, 0});
    // Column 0 of the picture gets the cursor's second column.
    EXPECT_EQ(pixels[0], 127);       // B: 0 + 255 × (255 − 128) / 255
    EXPECT_EQ(pixels[2], 64 + 127);  // R: 0x40 + 127
    EXPECT_EQ(pixels[16 + 0], 255);  // blue over white: B
    EXPECT_EQ(pixels[16 + 1], 0);
    EXPECT_EQ(pixels[16 + 2], 0);
    EXPECT_EQ(pixels[4], 255);  // column 1 untouched
    compositeCursor(pixels.data(), 4, 2, 16, CursorImage{cursor, 2, 2, 10, 10});  // wholly outside: nothing
}

TEST(CaptureActivity, CountsGapsAndLines) {
    CaptureActivity activity;
    activity.startedAt = 100;
    activity.note(FrameStatus::complete, 100.1, false);
    activity.note(FrameStatus::idle, 100.2, false);
    activity.note(FrameStatus::complete, 100.3, true);
    activity.note(FrameStatus::complete, 100.4, false);
    activity.note(std::nullopt, 100.5, false);
    auto window = activity.take(102);
    EXPECT_DOUBLE_EQ(window.seconds, 2);
    EXPECT_EQ(window.complete, 3);
    EXPECT_EQ(window.idle, 1);
    EXPECT_EQ(window.other, 1);
    EXPECT_EQ(window.gated, 1);
    ASSERT_EQ(window.completeGapsMs.size(), 2u);
    EXPECT_EQ(window.line(), "complete 1.5/s idle 0.5/s other 0.5/s gated 1, complete gap p50/90/99 200/200/200 ms");
    EXPECT_EQ(window.json()["completeGapMs"], (nlohmann::json{200.0, 200.0, 200.0}));
    EXPECT_EQ(window.json()["completePerSecond"], 1.5);

    auto empty = activity.take(103);
    EXPECT_DOUBLE_EQ(empty.seconds, 1);
    EXPECT_EQ(empty.line(), "complete 0.0/s idle 0.0/s other 0.0/s gated 0");
    EXPECT_FALSE(empty.json().contains("completeGapMs"));
    EXPECT_EQ(CaptureActivity{}.take(5).seconds, 0);
}

TEST(CaptureLatency, MedianOfTheOwnersRecentSamples) {
    RunningMedian median(3);
    EXPECT_FALSE(median.median());
    for (double v : {5.0, 1.0, 3.0, 100.0}) median.add(v);  // 5 is overwritten
    EXPECT_EQ(median.samples, (std::vector<double>{100.0, 1.0, 3.0}));
    EXPECT_EQ(median.median(), 3.0);
    median.add(2.0);
    median.add(4.0);
    EXPECT_EQ(median.samples, (std::vector<double>{100.0, 2.0, 4.0}));
    EXPECT_EQ(median.median(), 4.0);

    auto& latency = VideoCaptureLatency::shared();
    int a = 0, b = 0;
    latency.setOwner(&a);
    latency.note(&a, 10);
    latency.note(&a, 20);
    latency.note(&b, 500);   // not the owner
    latency.note(&a, -1);    // out of range
    latency.note(&a, 2000);
    EXPECT_EQ(latency.latencyMs(), 15.0);
    latency.setOwner(&b);
    EXPECT_EQ(latency.latencyMs(), 15.0);  // kept until the new owner's first sample
    latency.note(&b, 40);
    EXPECT_EQ(latency.latencyMs(), 40.0);
}

namespace {

// Changes come from a script, one entry per tick; ticks return at once, and each advances
// the stream's clock by one interval.
class ScriptedCapturer : public ScreenCapturer {
public:
    struct Shared {
        std::mutex lock;
        std::vector<bool> changes;  // per tick; past the end: no change
        size_t tick = 0;
        int captures = 0;
        double now = 1000;
        bool failAfterScript = false;
        bool suppressed = false;
    };
    explicit ScriptedCapturer(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}

    PixelView capture(const PixelRect& rect, bool) override {
        std::lock_guard<std::mutex> guard(shared->lock);
        ++shared->captures;
        pixels.assign(static_cast<size_t>(rect.width) * rect.height * 4, static_cast<uint8_t>(shared->captures));
        return {pixels.data(), rect.width, rect.height, rect.width * 4};
    }
    PixelView captureWindow(uint32_t) override { throw CaptureFailure("no windows here"); }
    std::optional<Clock::time_point> waitForChanges(const PixelRect&, Clock::time_point) override {
        std::this_thread::sleep_for(1ms);  // keep the thread from spinning the core
        std::lock_guard<std::mutex> guard(shared->lock);
        size_t tick = shared->tick++;
        shared->now += 1.0 / 30;
        if (tick >= shared->changes.size()) {
            if (shared->failAfterScript) throw CaptureFailure("the X display went away");
            return std::nullopt;
        }
        return shared->changes[tick] ? std::optional<Clock::time_point>(Clock::now()) : std::nullopt;
    }
    void suppressScreenSaver(bool suppress) override {
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->suppressed = suppress;
    }
    bool usable() const override { return true; }

    std::shared_ptr<Shared> shared;
    std::vector<uint8_t> pixels;
};

struct StreamFixture : ::testing::Test {
    FakeDesktop desktop{320, 200};
    std::shared_ptr<ScriptedCapturer::Shared> script = std::make_shared<ScriptedCapturer::Shared>();
    std::unique_ptr<FrameStream> stream;

    void make(int maxWidth = 160) {
        CaptureParams params;
        params.display = 1;
        params.maxWidth = maxWidth;
        stream = std::make_unique<FrameStream>(
            params, 30, true, [this] { return std::make_unique<ScriptedCapturer>(script); },
            [this] {
                std::lock_guard<std::mutex> guard(script->lock);
                return script->now;
            });
    }
    size_t ticks() {
        std::lock_guard<std::mutex> guard(script->lock);
        return script->tick;
    }
    void waitForTicks(size_t n) {
        for (int i = 0; i < 2000 && ticks() < n; ++i) std::this_thread::sleep_for(1ms);
    }
};

}  // namespace

TEST_F(StreamFixture, IdleScreenKeepsOnlyTheFirstPicture) {
    script->changes = {true};
    make();
    stream->start();
    EXPECT_EQ(stream->first(1.5), FrameStream::FirstOutcome::picture);
    waitForTicks(40);
    auto window = stream->takeActivityWindow();
    EXPECT_EQ(window.complete, 1);
    EXPECT_GE(window.idle, 30);
    EXPECT_EQ(window.gated, 0);
    EXPECT_EQ(stream->changes(), 1u);
    auto picture = stream->latest();
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 160);  // scaled to the target size
    EXPECT_EQ(picture->height, 100);
    EXPECT_EQ(picture->pixels->size(), 160u * 100 * 4);
    EXPECT_TRUE(script->suppressed);
    stream->stop();
    EXPECT_FALSE(script->suppressed);
    EXPECT_TRUE(stream->isStopped());
}

TEST_F(StreamFixture, ChangesMakeCompletePicturesAndWakeReaders) {
    script->changes = std::vector<bool>(20, true);
    make();
    stream->start();
    uint64_t seen = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(stream->waitForPicture(seen, std::chrono::steady_clock::now() + 2s));
        seen = stream->latest()->seq;
    }
    waitForTicks(25);
    auto window = stream->takeActivityWindow();
    EXPECT_EQ(window.complete, 20);
    EXPECT_EQ(stream->changes(), 20u);
    ASSERT_EQ(window.completeGapsMs.size(), 19u);
    EXPECT_NEAR(window.gapPercentile(0.5), 1000.0 / 30, 0.01);
    std::regex form(R"(complete [0-9.]+/s idle [0-9.]+/s other 0\.0/s gated 0, complete gap p50/90/99 33/33/33 ms)");
    EXPECT_TRUE(std::regex_match(window.line(), form)) << window.line();
}

TEST_F(StreamFixture, ACaptureFailureStopsTheStream) {
    LogCapture log;
    script->changes = {false, false};
    script->failAfterScript = true;
    make();
    stream->start();
    EXPECT_EQ(stream->first(5), FrameStream::FirstOutcome::stopped);
    EXPECT_FALSE(stream->waitForPicture(0, std::chrono::steady_clock::now() + 2s));
    EXPECT_TRUE(stream->isStopped());
    stream->stop();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"stream stopped: the X display went away"});
}

TEST_F(StreamFixture, RefusesWithoutPermissionOrDisplay) {
    make();
    desktop.session->capture = false;
    EXPECT_EQ(errorOf([&] { stream->start(); }).first, 403);
    desktop.session->capture = true;
    desktop.displays->list.clear();
    EXPECT_EQ(errorOf([&] { stream->start(); }), std::make_pair(404, std::string("unknown display 1")));
}
