// POST /input on a real X server, witnessed by a GTK window that reports what it receives
// and by xdotool.
#include "support/DesktopService.h"
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// The GTK probe at (200, 150), 600 × 400; its pointer area starts 40 pixels lower.
struct Probe {
    Process process{{"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "200", "150", "600", "400"}};
    Probe() { EXPECT_TRUE(process.waitForOutput("\"ready\"", 15s)) << process.output(); }
    std::vector<json> all() {
        std::vector<json> out;
        std::istringstream lines(process.output());
        for (std::string line; std::getline(lines, line);) {
            auto value = json::parse(line, nullptr, false);
            if (!value.is_discarded()) out.push_back(value);
        }
        return out;
    }
    std::vector<json> events(const std::string& kind) {
        std::vector<json> out;
        for (auto& e : all()) {
            if (e["event"] == kind) out.push_back(e);
        }
        return out;
    }
    // Waits until `count` events of `kind` have arrived.
    bool waitFor(const std::string& kind, size_t count, std::chrono::milliseconds limit = 5s) {
        return eventually([&] { return events(kind).size() >= count; }, limit, 20ms);
    }
};

struct Service : DesktopService {
    HTTPResponse input(const std::string& body) { return post("/input", body); }
};

}  // namespace

TEST(Input, ClicksAndDoubleClicksReachTheWindow) {
    Service service;
    Probe probe;
    // x 0.25, y 0.5 of 1920 × 1080 is (480, 540); the probe's area starts at (200, 190).
    ASSERT_EQ(service.input(R"({"type":"click","x":0.25,"y":0.5})").body, R"({"ok":true})");
    ASSERT_TRUE(probe.waitFor("release", 1));
    auto press = probe.events("press").at(0);
    EXPECT_EQ(press["x"], 480 - 200);
    EXPECT_EQ(press["y"], 540 - 190);
    EXPECT_EQ(press["clicks"], 1);

    // Past GTK's double-click time, so that the click above does not count with these.
    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(service.input(R"({"type":"doubleClick","x":0.25,"y":0.5})").status, 200);
    ASSERT_TRUE(probe.waitFor("release", 3));
    EXPECT_EQ(probe.events("press").back()["clicks"], 2);
}

TEST(Input, TypingAndKeysWithModifiers) {
    Service service;
    Probe probe;
    ASSERT_EQ(service.input(R"({"type":"type","text":"Grüße 東京 😀"})").status, 200);
    EXPECT_TRUE(eventually([&] {
        auto texts = probe.events("text");
        return !texts.empty() && texts.back()["text"] == "Grüße 東京 😀";
    })) << probe.process.output();

    ASSERT_EQ(service.input(R"({"type":"key","key":"a","modifiers":["ctrl","shift"]})").status, 200);
    EXPECT_TRUE(eventually([&] {
        for (auto& e : probe.events("key")) {
            if ((e["key"] == "a" || e["key"] == "A") && e["modifiers"] == json{"shift", "control"}) return true;
        }
        return false;
    })) << probe.process.output();
    EXPECT_EQ(service.input(R"({"type":"key","key":"Page_Up"})").status, 200);
}

TEST(Input, ScrollGestureGlidesAndAClickStopsIt) {
    Service service;
    Probe probe;
    // Over the probe's pointer area: (0.25, 0.5) is (480, 540).
    ASSERT_EQ(service.input(R"({"type":"scroll","x":0.25,"y":0.5,"dy":120,"phase":"began"})").body, R"({"ok":true})");
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(service.input(R"({"type":"scroll","x":0.25,"y":0.5,"dy":120,"phase":"changed"})").status, 200);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(service.input(R"({"type":"scroll","x":0.25,"y":0.5,"dy":0,"vy":3000,"phase":"ended"})").status, 200);
    ASSERT_TRUE(probe.waitFor("scroll", 8, 3s)) << probe.process.output();
    for (auto& e : probe.events("scroll")) EXPECT_EQ(e["direction"], "down") << e;

    // The momentum glides for seconds; a click ends it before pressing.
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(service.input(R"({"type":"click","x":0.25,"y":0.5})").status, 200);
    ASSERT_TRUE(probe.waitFor("release", 1));
    size_t atClick = probe.events("scroll").size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(probe.events("scroll").size(), atClick);

    // Horizontal, with a negative distance: scrolls left.
    ASSERT_EQ(service.input(R"({"type":"scroll","dx":-200})").status, 200);
    ASSERT_TRUE(probe.waitFor("scroll", atClick + 5, 2s));
    EXPECT_EQ(probe.events("scroll").back()["direction"], "left");
}

// A distance that once turned into millions of wheel clicks is refused; the largest allowed
// one scrolls at a bounded rate while other clients are served at once, and neither grows
// the window manager.
TEST(Input, HugeScrollsNeitherFloodTheDesktopNorHoldOtherClients) {
    Service service;
    Probe probe;
    long managerBefore = VirtualDesktop::shared().windowManagerKiB();
    EXPECT_EQ(service.input(R"({"type":"scroll","x":0.25,"y":0.5,"dy":1e308})").status, 400);
    ASSERT_EQ(service.input(R"({"type":"scroll","x":0.25,"y":0.5,"dy":100000})").status, 200);
    for (int i = 0; i < 5; ++i) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(service.get("/status").status, 200);
        EXPECT_EQ(service.input(R"({"type":"key","key":"f5"})").status, 200);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 200ms);
    }
    ASSERT_TRUE(probe.waitFor("scroll", 40, 3s)) << probe.process.output();
    // A click ends the scroll; what it still owed is dropped rather than scrolled under it.
    ASSERT_EQ(service.input(R"({"type":"click","x":0.25,"y":0.5})").status, 200);
    EXPECT_TRUE(service.process->waitForOutput("wheel clicks dropped", 2s)) << service.process->output();
    ASSERT_TRUE(probe.waitFor("release", 1));
    size_t atClick = probe.events("scroll").size();
    EXPECT_LT(atClick, 2500u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(probe.events("scroll").size(), atClick);
    EXPECT_LT(VirtualDesktop::shared().windowManagerKiB() - managerBefore, 20 * 1024);
}
