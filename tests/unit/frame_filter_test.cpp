// Frame filters: the query values, crop geometry, which windows a composed picture keeps,
// the covering masks, and the fallback from composing to masks.
#include "base/BadInput.h"
#include "capture/FilteredCapture.h"
#include "capture/FrameFilter.h"
#include "capture/Masks.h"
#include "desktop/FramePlan.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

using namespace tovo;

namespace {

std::string refusal(const std::optional<std::string>& visible, const std::optional<std::string>& hide,
                    const std::optional<std::string>& crop) {
    try {
        FrameFilter::parse(visible, hide, crop);
    } catch (const BadInput& error) {
        return error.what();
    }
    return "accepted";
}

WindowRecord window(uint32_t id, const std::string& bundle, Rect bounds, int layer = WindowLevel::normal) {
    WindowRecord r;
    r.pid = static_cast<int32_t>(id);
    r.id = r.frame = id;
    r.bundleId = bundle;
    r.name = bundle + " app";
    r.bounds = bounds;
    r.layer = layer;
    return r;
}

}  // namespace

TEST(FrameFilter, ParsesTheQueryValuesWithTheirRefusals) {
    std::string many;
    for (int i = 0; i < 65; ++i) many += "a" + std::to_string(i) + ",";
    EXPECT_EQ(refusal(std::nullopt, many, std::nullopt), "hide names more than 64 apps");
    EXPECT_EQ(refusal(std::nullopt, "org.ok, bad app", std::nullopt),
              "hide: bad app is not a bundle id (a trailing * matches a prefix)");
    for (const char* crop : {"abc", "0,0,1", "0,0,1,1,1", "0,0,nan,1", "0,0,inf,1", "0,,1,1"}) {
        EXPECT_EQ(refusal(std::nullopt, std::nullopt, crop), "crop must be x,y,w,h (normalized 0…1)") << crop;
    }
    EXPECT_EQ(refusal(std::nullopt, std::nullopt, "1,1,0.5,0.5"), "crop is empty inside the picture");

    EXPECT_FALSE(FrameFilter::parse(std::nullopt, std::nullopt, std::nullopt));
    EXPECT_FALSE(FrameFilter::parse(std::nullopt, " , ", std::nullopt));  // names nothing
    // A hide list alone keeps those apps out.
    auto hidden = FrameFilter::parse(std::nullopt, "com.example.*", std::nullopt);
    ASSERT_TRUE(hidden && hidden->filtersApps());
    EXPECT_TRUE(hidden->hidden.hides(std::string("com.example.chat")));
    EXPECT_FALSE(hidden->hidden.hides(std::string("com.examples")));
    EXPECT_TRUE(hidden->hidden.hides(std::string("Com.Example.Chat")));  // case is ignored
    EXPECT_TRUE(FrameFilter::parse(std::nullopt, "xterm", std::nullopt)->hidden.hides(std::string("XTerm")));
    EXPECT_FALSE(hidden->shows(std::string("com.example.chat")));
    EXPECT_TRUE(hidden->shows(std::string("org.other")));

    // Visible ids that a hide pattern matches drop out; comparing ignores case.
    auto visible = FrameFilter::parse(" XTerm , com.example.chat ,,", "com.example.*", "-0.5,0,1,1");
    ASSERT_TRUE(visible);
    EXPECT_EQ(*visible->visible, (std::set<std::string>{"XTerm"}));
    EXPECT_TRUE(visible->shows(std::string("xterm")));
    EXPECT_FALSE(visible->shows(std::nullopt));
    EXPECT_EQ(*visible->crop, (UnitRect{0, 0, 0.5, 1}));
    auto empty = FrameFilter::parse("com.example.chat", "com.example.*", std::nullopt);
    ASSERT_TRUE(empty && empty->visible);
    EXPECT_TRUE(empty->visible->empty());
}

TEST(FrameFilter, CropsInPixelsWithYFromTheBottom) {
    PixelRect centre = FrameFilter::pixelRect({0.25, 0.25, 0.5, 0.5}, 1000, 600);
    EXPECT_EQ(centre, (PixelRect{250, 150, 500, 300}));
    // The bottom quarter of the picture is its last rows.
    EXPECT_EQ(FrameFilter::pixelRect({0, 0, 0.5, 0.25}, 1000, 600), (PixelRect{0, 450, 500, 150}));
    // Fractions round outward.
    EXPECT_EQ(FrameFilter::pixelRect({0.1234, 0, 0.1, 1}, 100, 10), (PixelRect{12, 0, 11, 10}));
    EXPECT_EQ(FrameFilter::unitRect({0, 450, 500, 150}, 1000, 600), (UnitRect{0, 0, 0.5, 0.25}));
    EXPECT_EQ(FrameFilter::cropHeader({0.25, 0.25, 0.5, 0.5}), "0.2500,0.2500,0.5000,0.5000");

    EXPECT_EQ(FrameFilter::downscaledSize(960, 540, 1280), std::make_pair(960, 540));
    EXPECT_EQ(FrameFilter::downscaledSize(961, 541, 641), std::make_pair(640, 360));
    EXPECT_EQ(FrameFilter::downscaledSize(1000, 3, 500), std::make_pair(500, 2));
}

TEST(FrameFilter, ComposedPicturesKeepShownAppsChromeAndTheDesktop) {
    auto desktop = window(1, "org.desk", {0, 0, 1000, 800}, WindowLevel::desktopIcon);
    auto panel = window(2, "org.panel", {0, 0, 1000, 30}, WindowLevel::status);
    panel.chrome = true;
    auto term = window(3, "XTerm", {10, 40, 400, 300});
    auto termMenu = window(4, "XTerm", {20, 50, 100, 100}, WindowLevel::popUpMenu);
    auto chat = window(5, "com.example.chat", {300, 200, 400, 300});
    auto other = window(6, "org.other", {600, 100, 300, 300});
    auto shellChrome = window(7, "org.desk", {900, 0, 100, 800});
    shellChrome.chrome = true;
    WindowCatalog catalog({termMenu, chat, term, other, shellChrome, panel, desktop}, {{1, Rect{0, 0, 1000, 800}}},
                          AppRef{1, std::string("org.desk"), "Desk"}, 999);

    auto visible = *FrameFilter::parse("xterm", std::nullopt, std::nullopt);
    EXPECT_EQ(NativeFilterPlan::make(catalog, visible).windows, (std::vector<uint32_t>{4, 3, 2, 1}));
    auto withShell = *FrameFilter::parse("xterm,org.desk", std::nullopt, std::nullopt);
    EXPECT_EQ(NativeFilterPlan::make(catalog, withShell).windows, (std::vector<uint32_t>{4, 3, 7, 2, 1}));
    auto hideChat = *FrameFilter::parse(std::nullopt, "com.example.chat,org.panel", std::nullopt);
    EXPECT_EQ(NativeFilterPlan::make(catalog, hideChat).windows, (std::vector<uint32_t>{4, 3, 6, 7, 1}));

    // Masks: back to front, chrome and desktop left alone, a hidden app unnamed.
    auto ops = maskOps(catalog, 1, *FrameFilter::parse("xterm", "com.example.chat", std::nullopt));
    ASSERT_EQ(ops.size(), 4u);
    EXPECT_EQ(ops[0], (MaskOp{MaskOp::Kind::mask, 0.6, 0.125, 0.3, 0.375, "org.other app"}));
    EXPECT_EQ(ops[1].kind, MaskOp::Kind::reveal);
    EXPECT_DOUBLE_EQ(ops[1].x, 0.01);
    EXPECT_EQ(ops[2], (MaskOp{MaskOp::Kind::mask, 0.3, 0.25, 0.4, 0.375, ""}));
    EXPECT_EQ(ops[3].kind, MaskOp::Kind::reveal);
    EXPECT_TRUE(maskOps(catalog, 2, visible).empty());  // no such display
}

TEST(FrameFilter, MasksPaintGreyWithWhiteLabelsAndRevealsRestore) {
    const int w = 200, h = 100;
    std::vector<uint8_t> source(static_cast<size_t>(w) * h * 4, 200);
    PixelView picture{source.data(), w, h, w * 4};
    std::vector<uint8_t> out;
    auto at = [&](const PixelView& v, int x, int y) { return v.data[static_cast<size_t>(y) * v.stride + x * 4]; };
    PixelView masked = applyMasks(
        picture, {{MaskOp::Kind::mask, 0, 0, 1, 1, "Chat"}, {MaskOp::Kind::reveal, 0.5, 0, 0.5, 0.5, ""}}, 1.0, out);
    EXPECT_EQ(at(masked, 5, 90), maskGrey);
    EXPECT_EQ(at(masked, 150, 20), 200);  // revealed again
    EXPECT_EQ(at(masked, 150, 70), maskGrey);
    int white = 0;
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 100; ++x) white += at(masked, x, y) > 220;
    }
    EXPECT_GT(white, 10);       // the label
    EXPECT_EQ(source[0], 200);  // the source is left as it was
}

namespace {

// A capturer whose composing fails, or whose display is gone.
class NoComposing : public tovo::test::SolidCapturer {
public:
    PixelView captureWindows(const PixelRect&, const std::vector<uint32_t>&, bool) override {
        throw CaptureFailure("the X server has no Composite 0.2 extension");
    }
    bool usable() const override { return alive; }
    bool alive = true;
};

}  // namespace

TEST(FrameFilter, FallsBackToMasksOnlyWhileTheDisplayLives) {
    tovo::test::SolidCapturer composing;
    std::vector<uint8_t> buffer;
    int planned = 0;
    auto masks = [&] {
        ++planned;
        return std::vector<MaskOp>{{MaskOp::Kind::mask, 0, 0, 0.5, 1, ""}};
    };
    auto composed = captureFiltered(composing, {0, 0, 20, 10}, true, {7}, masks, buffer);
    EXPECT_EQ(composed.mode, FilterMode::native);
    EXPECT_EQ(composing.composed, std::vector<uint32_t>{7});
    EXPECT_EQ(planned, 0);  // masks are planned only when they are needed

    NoComposing failing;
    auto masked = captureFiltered(failing, {0, 0, 20, 10}, true, {7}, masks, buffer);
    EXPECT_EQ(masked.mode, FilterMode::mask);
    EXPECT_EQ(masked.fallback, "the X server has no Composite 0.2 extension");
    EXPECT_EQ(masked.picture.data[0], maskGrey);
    EXPECT_EQ(masked.picture.data[15 * 4], 0x80);
    failing.alive = false;
    EXPECT_THROW(captureFiltered(failing, {0, 0, 20, 10}, true, {7}, masks, buffer), CaptureFailure);
    EXPECT_EQ(planned, 1);
}
