// The frame stream's pictures when the capturer reports only the rows that changed: every
// picture equals a whole conversion of the screen at that moment, however the buffers are
// reused and held by readers.
#include "capture/FrameStream.h"
#include "image/Bt709Conversion.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace tovo;

namespace {

// A screen the test paints; each capture returns it with the rows the test declared.
struct Screen {
    std::mutex lock;  // guards everything below
    std::vector<uint8_t> pixels;
    ScreenCapturer::ChangedRows changed;
    bool pending = true;
};

class PartialCapturer : public tovo::test::SolidCapturer {
public:
    explicit PartialCapturer(Screen& screen) : screen(screen) {}
    std::optional<Clock::time_point> waitForChanges(const PixelRect&, Clock::time_point until) override {
        std::this_thread::sleep_until(until);
        std::lock_guard<std::mutex> guard(screen.lock);
        if (!screen.pending) return std::nullopt;
        screen.pending = false;
        return Clock::now();
    }
    PartialPicture captureChanges(const PixelRect& rect, bool) override {
        std::lock_guard<std::mutex> guard(screen.lock);
        copy = screen.pixels;
        auto rows = first ? ScreenCapturer::ChangedRows{0, rect.height} : screen.changed;
        first = false;
        screen.changed = {};
        return {{copy.data(), rect.width, rect.height, rect.width * 4}, rows};
    }

private:
    Screen& screen;
    std::vector<uint8_t> copy;
    bool first = true;
};

}  // namespace

TEST(FrameStream, PartialUpdatesKeepEveryPictureWhole) {
    const int w = 64, h = 48;
    tovo::test::FakeDisplaySource source;
    MonitorRecord monitor;
    monitor.id = 1, monitor.width = w, monitor.height = h, monitor.primary = true;
    source.set({monitor});
    Displays displays(source, std::nullopt, [](std::chrono::milliseconds) {});
    VideoCaptureLatency latency;
    Screen screen;
    screen.pixels.assign(static_cast<size_t>(w) * h * 4, 30);
    CaptureParams params;
    params.display = 1;
    params.maxWidth = w;
    FrameStream frames(
        params, 200, false, displays, [&] { return std::make_unique<PartialCapturer>(screen); }, latency);
    frames.start();

    std::vector<VideoPicture> held;
    uint64_t seen = 0;
    for (int step = 0; step < 40; ++step) {
        if (step > 0) {
            // Paint a band of rows (odd and even starts) and say only those changed.
            std::lock_guard<std::mutex> guard(screen.lock);
            int first = (step * 7) % (h - 6), last = first + 1 + step % 5;
            for (int y = first; y < last; ++y) {
                for (int x = 0; x < w * 4; ++x) screen.pixels[y * w * 4 + x] = static_cast<uint8_t>(step * 37 + x);
            }
            screen.changed = {first, last};
            screen.pending = true;
        }
        ASSERT_TRUE(frames.waitForPicture(seen, std::chrono::steady_clock::now() + std::chrono::seconds(2)));
        auto picture = frames.latest();
        ASSERT_TRUE(picture);
        seen = picture->seq;
        ASSERT_EQ(picture->format, PictureFormat::yuv420);

        std::vector<uint8_t> expected(VideoPicture::yuv420Bytes(picture->stride, h));
        {
            std::lock_guard<std::mutex> guard(screen.lock);
            uint8_t* base = expected.data();
            bgrxToYuv420Bt709(screen.pixels.data(), w * 4, w, h,
                              {base, picture->stride, base + picture->uOffset(), picture->stride / 2,
                               base + picture->vOffset(), picture->stride / 2});
        }
        ASSERT_EQ(*picture->pixels, expected) << "step " << step;
        // Readers that keep pictures a while make the stream use other buffers.
        if (step % 3 == 0) held.push_back(*picture);
        if (held.size() > 2) held.erase(held.begin());
    }
    frames.stop();
}

TEST(Bt709Conversion, WithinOneCodeValueOfTheExactResult) {
    // An odd size: the last column and row have no partner for chroma. Wider than 512 pixels,
    // which the converter takes in pieces, the last of them odd.
    const int w = 549, h = 11, stride = 550;
    std::vector<uint8_t> bgrx(static_cast<size_t>(w) * h * 4);
    uint32_t state = 12345;
    for (auto& b : bgrx) b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
    for (int i = 0; i < 4; ++i) bgrx[i] = 255;  // white at the corner: Y 235
    std::vector<uint8_t> y(stride * h), u(stride / 2 * 6), v(stride / 2 * 6);
    bgrxToYuv420Bt709(bgrx.data(), w * 4, w, h, {y.data(), stride, u.data(), stride / 2, v.data(), stride / 2});
    auto px = [&](int x, int row, int c) {
        return static_cast<double>(bgrx[(static_cast<size_t>(row) * w + x) * 4 + c]);
    };
    EXPECT_EQ(y[0], 235);
    for (int row = 0; row < h; ++row) {
        for (int x = 0; x < w; ++x) {
            double exact = 16 + 219 * (0.2126 * px(x, row, 2) + 0.7152 * px(x, row, 1) + 0.0722 * px(x, row, 0)) / 255;
            ASSERT_LE(std::abs(y[row * stride + x] - exact), 1.0) << x << "," << row;
        }
    }
    for (int cy = 0; cy < (h + 1) / 2; ++cy) {
        for (int cx = 0; cx < (w + 1) / 2; ++cx) {
            double r = 0, g = 0, b = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    int x = std::min(2 * cx + dx, w - 1), row = std::min(2 * cy + dy, h - 1);
                    r += px(x, row, 2) / 4, g += px(x, row, 1) / 4, b += px(x, row, 0) / 4;
                }
            }
            double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            double cb = 128 + 224 * (b - luma) / 1.8556 / 255, cr = 128 + 224 * (r - luma) / 1.5748 / 255;
            ASSERT_LE(std::abs(u[cy * stride / 2 + cx] - cb), 1.0) << cx << "," << cy;
            ASSERT_LE(std::abs(v[cy * stride / 2 + cx] - cr), 1.0) << cx << "," << cy;
        }
    }
}

// The capture ticks against an encoder at 60 fps, in whole microseconds.
namespace {
using std::chrono::microseconds;
const CaptureTicks::Time t0{};
CaptureTicks::Time at(int64_t us) { return t0 + microseconds(us); }
int64_t us(CaptureTicks::Time t) { return std::chrono::duration_cast<microseconds>(t - t0).count(); }
}  // namespace

TEST(CaptureTicks, FollowTheConsumersSlotsLessTheSlowTailOfRecentCaptures) {
    CaptureTicks ticks(microseconds(16667));
    // Alone, one period apart; a tick missed is not caught up.
    EXPECT_EQ(us(ticks.next(at(0), at(1000))), 16667);
    EXPECT_EQ(us(ticks.next(at(0), at(20000))), 33334);

    // Pictures took 1 ms from tick to kept, one in six took 5 ms: the lead is the slow tail
    // (the percentile, not the mean) plus 0.3 ms.
    for (int i = 0; i < 32; ++i) ticks.kept(at(0), at(i % 6 == 5 ? 5000 : 1000));
    EXPECT_EQ(std::chrono::duration_cast<microseconds>(ticks.lead()).count(), 5300);

    // The encoder started at 100 ms: the next tick is its next slot less the lead.
    ticks.consumerStarted(at(100000));
    EXPECT_EQ(us(ticks.next(at(90000), at(91000))), 116667 - 5300);
    // A late picture moved the encoder's slots 3 ms later: the ticks follow, one period and
    // 3 ms apart, rather than leaving every later picture late.
    ticks.consumerStarted(at(116667 + 3000));
    EXPECT_EQ(us(ticks.next(at(116667 - 5300), at(116667))), 136334 - 5300);
    // Ticks never come closer than 0.9 of a period, whatever the slots say: the aligned
    // tick 3 ms after this one is passed over for the one after it.
    ticks.consumerStarted(at(134000));
    EXPECT_EQ(us(ticks.next(at(125700), at(127000))), 134000 + 16667 - 5300);

    // However slow the captures, the lead stays within three quarters of a period.
    for (int i = 0; i < 32; ++i) ticks.kept(at(0), at(40000));
    EXPECT_EQ(std::chrono::duration_cast<microseconds>(ticks.lead()).count(), 16667 * 3 / 4);
}
