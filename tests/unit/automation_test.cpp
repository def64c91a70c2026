// Automation: the request body, the state table, the capsule's words, the effects run on a
// fake banner and Escape tap, and the record of this process's own key presses.
#include "overlay/Automation.h"

#include "base/BadInput.h"
#include "base/Language.h"
#include "base/Utf8.h"
#include "input/OwnKeyPresses.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/ManualTaskQueue.h"

#include <gtest/gtest.h>

#include <map>

using namespace tovo;
using tovo::test::LogCapture;
using tovo::test::ManualTaskQueue;

namespace {

std::string refusal(const std::string& body) {
    try {
        Automation::parse(body);
    } catch (const BadInput& error) {
        return error.what();
    }
    return "accepted";
}

struct FakeOverlay : AutomationOverlay {
    void show(const std::string& text) override { shown.push_back(text); }
    void hide() override { shown.push_back("(hidden)"); }
    bool offerStop(const std::string& label, std::function<void()> handler) override {
        if (!withStop) return false;
        stopLabel = label;
        onStop = std::move(handler);
        return true;
    }
    std::vector<std::string> shown;
    bool withStop = false;
    std::string stopLabel;
    std::function<void()> onStop;
};

struct FakeTap : EscapeTap {
    std::optional<std::string> install(std::function<void()> handler) override {
        ++installs;
        if (failure) return failure;
        onEscape = std::move(handler);
        return std::nullopt;
    }
    void remove() override {
        if (onEscape) ++removals;
        onEscape = nullptr;
    }
    std::optional<std::string> failure;
    std::function<void()> onEscape;
    int installs = 0, removals = 0;
};

struct Rig {
    FakeOverlay overlay;
    FakeTap tap;
    ManualTaskQueue* queue;
    std::vector<std::string> posted;
    std::unique_ptr<Automation> automation;

    explicit Rig(bool chinese = false, bool feeds = true, bool stopButton = false) {
        overlay.withStop = stopButton;
        auto q = std::make_unique<ManualTaskQueue>();
        queue = q.get();
        std::function<void(const std::string&)> post;
        if (feeds) post = [this](const std::string& line) { posted.push_back(line); };
        automation = std::make_unique<Automation>(overlay, tap, std::move(q), post, chinese);
    }
};

}  // namespace

TEST(Automation, ParsesBodiesAndCleansLabels) {
    EXPECT_EQ(refusal("[1]"), "body must be a JSON object");
    EXPECT_EQ(refusal("{"), "body must be a JSON object");
    EXPECT_EQ(refusal(R"({"active":1})"), "active must be a boolean");
    EXPECT_EQ(refusal(R"({"label":"x"})"), "active must be a boolean");
    EXPECT_EQ(refusal(R"({"active":true,"title":5})"), "title must be a string");
    EXPECT_EQ(refusal(R"({"active":true,"label":["x"]})"), "label must be a string");
    EXPECT_EQ(refusal(R"({"active":true,"title":null,"label":null})"), "accepted");

    EXPECT_EQ(Automation::parse(R"({"active":true,"label":"  Claude\tCode \n "})").label, "Claude Code");
    EXPECT_EQ(Automation::cleanLabel("a\u0085b\u007fc"), "a b c");
    EXPECT_EQ(Automation::cleanLabel(std::string(60, 'x')), std::string(40, 'x'));
    std::string wide;
    for (int i = 0; i < 50; ++i) wide += "机";
    EXPECT_EQ(codePointCount(Automation::cleanLabel(wide)), 40u);
}

TEST(Automation, StateTableAndCapsuleWords) {
    using E = AutomationEffect;
    AutomationCore core;
    EXPECT_TRUE(core.set(false, "x").empty());
    EXPECT_EQ(core.set(true, "Bot"), (std::vector<E>{E::installTap, E::showBorder}));
    EXPECT_TRUE(core.set(true, "Bot").empty());
    EXPECT_EQ(core.set(true, "Other"), std::vector<E>{E::showBorder});
    core.esc = true;
    EXPECT_EQ(core.json(), (nlohmann::json{{"active", true}, {"esc", true}, {"label", "Other"}}));
    EXPECT_EQ(core.json(false), (nlohmann::json{{"active", true}, {"esc", true}}));
    EXPECT_EQ(core.set(false, "ignored"), (std::vector<E>{E::removeTap, E::hideBorder}));
    EXPECT_EQ(core, AutomationCore{});

    using AutomationOverlayGeometry::capsuleText;
    EXPECT_EQ(capsuleText("", true, false), "Automation is using this computer · press Esc to stop");
    EXPECT_EQ(capsuleText("Bot", false, false), "Bot is using this computer");
    EXPECT_EQ(capsuleText("", true, true), "自动化程序正在使用这台电脑 · 按 Esc 停止");
    EXPECT_EQ(capsuleText("Bot", false, true), "Bot 正在使用这台电脑");

    std::map<std::string, const char*> env{{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", "en_GB:zh_CN"}};
    auto from = [&](const char* name) -> const char* { return env.count(name) ? env[name] : nullptr; };
    EXPECT_FALSE(prefersChinese(from));
    env["LANGUAGE"] = "";
    EXPECT_TRUE(prefersChinese(from));
}

TEST(Automation, EscapeEndsItOnceAndTellsTheFeeds) {
    Rig rig;
    LogCapture logs;
    AutomationCore after = rig.automation->set(true, "Bot");
    EXPECT_TRUE(after.esc);
    EXPECT_EQ(rig.overlay.shown, std::vector<std::string>{"Bot is using this computer · press Esc to stop"});
    rig.automation->set(true, "Bot");
    EXPECT_EQ(rig.tap.installs, 1);
    EXPECT_TRUE(logs.contains("automation: active (Bot) (unchanged)"));

    // The tap's thread only hands the press over; the queue does the work, once.
    rig.tap.onEscape();
    rig.tap.onEscape();
    EXPECT_TRUE(rig.automation->core().active);
    rig.queue->runJobs();
    EXPECT_EQ(rig.automation->core(), AutomationCore{});
    EXPECT_EQ(rig.posted, std::vector<std::string>{"{\"type\":\"abort\",\"reason\":\"esc\"}\n"});
    EXPECT_EQ(rig.tap.removals, 1);
    EXPECT_EQ(rig.overlay.shown.back(), "(hidden)");
    EXPECT_TRUE(logs.contains("automation: Esc pressed, stopping"));
}

TEST(Automation, WithoutATapTheBorderShowsWithoutTheHint) {
    Rig rig(true, false);
    LogCapture logs;
    rig.tap.failure = "another program holds the Escape key";
    AutomationCore after = rig.automation->set(true, "");
    EXPECT_TRUE(after.active);
    EXPECT_FALSE(after.esc);
    EXPECT_EQ(rig.overlay.shown, std::vector<std::string>{"自动化程序正在使用这台电脑"});
    EXPECT_TRUE(logs.contains("automation: no Escape tap (another program holds the Escape key)"));
}

TEST(Automation, RouteAndStatusThroughTheApi) {
    tovo::test::FakeService fake;
    auto [status, body] = fake.call("POST", "/agent-control", R"({"active":true,"label":"Bot"})");
    ASSERT_EQ(status, 200) << body;
    // The fake platform has no Escape tap.
    EXPECT_EQ(nlohmann::json::parse(body),
              (nlohmann::json{{"active", true}, {"esc", false}, {"label", "Bot"}, {"ok", true}}));
    auto state = nlohmann::json::parse(fake.call("GET", "/status").second);
    EXPECT_EQ(state["automation"], (nlohmann::json{{"active", true}, {"esc", false}, {"label", "Bot"}}));
    EXPECT_EQ(state["agentControl"], (nlohmann::json{{"active", true}, {"esc", false}}));
    EXPECT_EQ(fake.call("POST", "/automation", R"({"active":"yes"})"),
              std::make_pair(400, std::string("active must be a boolean")));
}

TEST(OwnKeyPresses, EachNotedPressAnswersOnceWithinTwoSeconds) {
    OwnKeyPresses own;
    auto t0 = OwnKeyPresses::Clock::now();
    own.note(0xff1b, t0);
    own.note(0xff1b, t0);
    EXPECT_FALSE(own.take(0x61, t0));
    EXPECT_TRUE(own.take(0xff1b, t0 + std::chrono::milliseconds(1999)));
    EXPECT_FALSE(own.take(0xff1b, t0 + std::chrono::seconds(2)));  // the second has expired
}

// Where Escape cannot be watched, the banner's Stop button ends automation: /status says
// the button is there, and the feeds hear an abort for the stop.
TEST(Automation, TheBannersStopButtonEndsIt) {
    Rig rig(false, true, true);
    rig.tap.failure = "no keyboard watcher here";
    EXPECT_EQ(rig.overlay.stopLabel, "Stop");
    AutomationCore after = rig.automation->set(true, "Bot");
    EXPECT_FALSE(after.esc);
    EXPECT_EQ(after.json(), (nlohmann::json{{"active", true}, {"esc", false}, {"label", "Bot"}, {"stopButton", true}}));
    rig.overlay.onStop();
    EXPECT_TRUE(rig.automation->core().active);  // handed to the queue, not run on the overlay's thread
    rig.queue->runJobs();
    EXPECT_FALSE(rig.automation->core().active);
    EXPECT_EQ(rig.overlay.shown.back(), "(hidden)");
    EXPECT_EQ(rig.posted, std::vector<std::string>{Automation::stopAbortLine});
    rig.overlay.onStop();  // a second press after the end changes nothing
    rig.queue->runJobs();
    EXPECT_EQ(rig.posted.size(), 1u);
    EXPECT_EQ(Rig(true, true, true).overlay.stopLabel, "停止");
}
