// The window catalog on recorded window lists: filtering, attribution, placement, hits.
#include "base/BadInput.h"
#include "capture/HiddenApps.h"
#include "desktop/WindowCatalog.h"

#include <gtest/gtest.h>

using namespace tovo;

namespace {

WindowRecord window(int32_t pid, const std::string& name, Rect bounds, int layer = WindowLevel::normal) {
    WindowRecord r;
    r.pid = pid;
    r.name = name;
    r.bundleId = "org.example." + name;
    r.bounds = bounds;
    r.layer = layer;
    return r;
}

const std::vector<WindowCatalog::Display> twoDisplays = {{1, Rect{0, 0, 1000, 800}}, {2, Rect{1000, 0, 1000, 800}}};

}  // namespace

TEST(WindowCatalog, FiltersAndAttributes) {
    auto transparent = window(10, "ghost", {0, 0, 100, 100});
    transparent.alpha = 0;
    auto dock = window(30, "panel", {0, 760, 1000, 40}, WindowLevel::status);
    dock.chrome = true;
    AppRef shell{40, std::string("org.example.desktop"), "Desktop"};
    WindowCatalog catalog(
        {window(20, "editor", {10, 10, 300, 200}), transparent, window(99, "self", {0, 0, 50, 50}),
         window(21, "empty", {5, 5, 0, 10}), window(22, "pointer", {0, 0, 10, 10}, WindowLevel::cursor), dock,
         window(20, "editor", {400, 10, 300, 200}), window(40, "desktop", {0, 0, 1000, 800}, WindowLevel::desktopIcon)},
        twoDisplays, shell, 99);
    ASSERT_EQ(catalog.records().size(), 4u);  // editor, panel, editor, desktop

    auto apps = catalog.apps();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].first.name, "editor");
    EXPECT_EQ(apps[0].second, 2);
    EXPECT_EQ(apps[1].first, shell);  // the panel and the desktop fold into the shell
    EXPECT_EQ(apps[1].second, 2);

    // Without a desktop shell, chrome keeps its own owner.
    WindowCatalog bare({dock}, twoDisplays, std::nullopt, 1);
    EXPECT_EQ(bare.apps().at(0).first.pid, 30);
}

TEST(WindowCatalog, PlacesOnTheDisplayHoldingTheMidpoint) {
    // 1200 wide from x 300: the midpoint (900) is on display 1, which clips it.
    WindowCatalog catalog({window(5, "wide", {300, 100, 1200, 400})}, twoDisplays, std::nullopt, 1);
    auto placed = catalog.placed(std::nullopt);
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0].display, 1u);
    EXPECT_DOUBLE_EQ(placed[0].x, 0.3);
    EXPECT_DOUBLE_EQ(placed[0].w, 0.7);
    EXPECT_DOUBLE_EQ(placed[0].h, 0.5);
    EXPECT_TRUE(catalog.placed(2u).empty());

    // Midpoint on no display: the largest overlap decides.
    auto below = catalog.displayOf(Rect{1500, 700, 400, 400});
    ASSERT_TRUE(below);
    EXPECT_EQ(below->id, 2u);
    EXPECT_FALSE(catalog.displayOf(Rect{5000, 5000, 10, 10}));

    auto json = WindowCatalog({window(5, "third", {0, 0, 333.33333, 100})}, twoDisplays, std::nullopt, 1)
                    .json(std::nullopt, AppRef{5, std::nullopt, "third"});
    EXPECT_EQ(json["windows"][0]["w"], 0.3333);
    EXPECT_EQ(json["focused"], (nlohmann::json{{"pid", 5}, {"bundleId", nullptr}, {"name", "third"}}));
    EXPECT_EQ(json["apps"][0]["windows"], 1);
}

TEST(WindowCatalog, HitsTheFrontMostWindow) {
    WindowCatalog catalog(
        {window(1, "front", {100, 100, 100, 100}, WindowLevel::floating), window(2, "back", {0, 0, 1000, 800})},
        twoDisplays, std::nullopt, 99);
    auto front = catalog.hit(1, 0.15, 0.15);
    ASSERT_TRUE(front);
    EXPECT_EQ(front->first.name, "front");
    EXPECT_EQ(front->second, WindowLevel::floating);
    EXPECT_EQ(catalog.hit(1, 1.0, 1.0)->first.name, "back");  // 1.0 probes the last pixel
    EXPECT_FALSE(catalog.hit(2, 0.5, 0.5));
    EXPECT_FALSE(catalog.hit(7, 0.5, 0.5));
}

namespace {

class RecordedWindows : public WindowSystem {
public:
    std::vector<WindowRecord> onScreenWindows() override { return {}; }
    std::vector<WindowRecord> windowsOf(const std::vector<int32_t>&) override { return {}; }
    std::optional<WindowRecord> window(uint32_t) override { return std::nullopt; }
    std::optional<AppRef> desktopShell() override { return std::nullopt; }
    std::optional<int32_t> activePid() override { return active; }
    std::vector<AppRef> runningApps() override { return {AppRef{77, std::nullopt, "daemon"}}; }
    std::optional<int32_t> active;
};

}  // namespace

TEST(WindowCatalog, FocusedAppFollowsTheActiveWindow) {
    WindowCatalog catalog(
        {window(3, "menu", {0, 0, 50, 50}, WindowLevel::popUpMenu), window(4, "editor", {0, 0, 500, 500})}, twoDisplays,
        std::nullopt, 99);
    RecordedWindows windows;
    windows.active = 3;
    EXPECT_EQ(focusedApp(catalog, windows)->name, "menu");
    windows.active = 77;
    EXPECT_EQ(focusedApp(catalog, windows)->name, "daemon");
    windows.active = 1234;
    EXPECT_EQ(focusedApp(catalog, windows)->name, "pid 1234");
    windows.active.reset();  // no active window: the front-most normal one
    EXPECT_EQ(focusedApp(catalog, windows)->name, "editor");
}

TEST(HiddenApps, PatternsAndTheirLimits) {
    auto hidden = HiddenApps::parse(std::string(" com.example.* , org.exact ,, "));
    EXPECT_TRUE(hidden.hides(std::string("com.example.app")));
    EXPECT_FALSE(hidden.hides(std::string("com.examples")));  // the dot is part of the prefix
    EXPECT_TRUE(hidden.hides(std::string("org.exact")));
    EXPECT_FALSE(hidden.hides(std::string("org.exact.more")));
    EXPECT_FALSE(hidden.hides(std::nullopt));
    EXPECT_TRUE(HiddenApps::parse(std::nullopt).hides(std::string("app.tovo.control.linux")));  // always ourselves

    auto message = [](const std::string& text) {
        try {
            HiddenApps::parse(text);
        } catch (const BadInput& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message("com.ok,bad app"), "hide: bad app is not a bundle id (a trailing * matches a prefix)");
    EXPECT_EQ(message("a*b"), "hide: a*b is not a bundle id (a trailing * matches a prefix)");
    std::string many;
    for (int k = 0; k < 65; ++k) many += "app" + std::to_string(k) + ",";
    EXPECT_EQ(message(many), "hide names more than 64 apps");
    EXPECT_EQ(message(many.substr(0, many.rfind("app64"))), "");
}
