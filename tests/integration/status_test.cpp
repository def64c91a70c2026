// /status and /events of the real service on a headless desktop: displays, the screen
// state through an X server that goes away and comes back, and the console lock through a
// screen saver on the session bus.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <csignal>
#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Service : ServiceProcess {
    Service(const std::string& display, std::map<std::string, std::string> env = {})
        : ServiceProcess(binary, display, Process::Options{.setEnv = std::move(env)}) {
        EXPECT_TRUE(ready()) << process->output();
    }
    json status() {
        auto response = get("/status");
        EXPECT_EQ(response.status, 200);
        return json::parse(response.body, nullptr, false);
    }
};

// An events client that reads lines as they come.
struct Feed {
    SocketClient client;
    explicit Feed(const std::string& socket) : client(socket) {
        EXPECT_TRUE(client.send("GET /events HTTP/1.1\r\n\r\n"));
        auto head = client.readUntil("\r\n\r\n", 5s);
        EXPECT_TRUE(head && head->rfind("HTTP/1.1 200 OK", 0) == 0);
    }
    std::optional<json> next(std::chrono::milliseconds limit) {
        auto line = client.readUntil("\n", limit);
        if (!line) return std::nullopt;
        return json::parse(*line, nullptr, false);
    }
    // The next state line within `limit`, skipping pings.
    std::optional<json> nextState(std::chrono::milliseconds limit) {
        for (;;) {
            auto line = next(limit);
            if (!line || (*line)["type"] == "state") return line;
        }
    }
};

bool hasIdentity(const json& status) {
    return status.contains("app") && status.contains("version") && status["api"] == 1;
}

}  // namespace

TEST(Status, HeadlessDesktopIsReady) {
    auto& desktop = VirtualDesktop::shared();
    Service service(desktop.display());
    auto status = service.status();
    EXPECT_EQ(status["ok"], true) << status;
    EXPECT_EQ(status["platform"], "x11");
    EXPECT_EQ(status["session"], (json{{"loggedIn", true}}));
    EXPECT_EQ(status["screenRecording"], true);
    EXPECT_EQ(status["accessibility"], true);
    ASSERT_EQ(status["displays"].size(), 1u) << status;
    auto display = status["displays"][0];
    auto id = display["id"];
    display.erase("id");
    display.erase("name");
    EXPECT_EQ(
        display,
        (json{
            {"width", 1920}, {"height", 1080}, {"scale", 1}, {"main", true}, {"asleep", false}, {"kind", "external"}}));
    EXPECT_FALSE(status.contains("error"));
    EXPECT_TRUE(hasIdentity(status)) << status;

    // The tracker publishes at once, and the console state once the watcher has read it.
    eventually([&] { return !(status = service.status())["states"].empty() && !status["console"].is_null(); });
    auto states = status["states"];
    ASSERT_EQ(states.size(), 1u) << states;
    EXPECT_EQ(states[0]["phase"], "ready");
    EXPECT_EQ(states[0]["display"], id);
    EXPECT_EQ(status["console"], (json{{"locked", false}}));
}

TEST(Status, FollowsTheXServerAwayAndBack) {
    BareXServer x;
    Service service(x.display);
    ASSERT_EQ(service.status()["ok"], true);

    Feed feed(service.socket);
    auto first = feed.nextState(5s);
    ASSERT_TRUE(first);
    ASSERT_EQ((*first)["states"][0]["phase"], "ready") << *first;
    auto readySince = (*first)["states"][0]["since"];

    x.process->signal(SIGTERM);
    ASSERT_TRUE(x.process->wait(10s));
    auto gone = feed.nextState(5s);
    ASSERT_TRUE(gone);
    EXPECT_EQ((*gone)["states"][0]["phase"], "unavailable") << *gone;
    EXPECT_EQ((*gone)["states"][0]["reason"], "no-session");

    auto status = service.status();
    EXPECT_EQ(status["ok"], false);
    EXPECT_EQ(status["displays"], json::array());
    EXPECT_EQ(status["error"], "no graphical login session for this user");
    EXPECT_TRUE(service.process->running());

    x.restart();
    auto back = feed.nextState(5s);
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["states"][0]["phase"], "ready") << *back;
    EXPECT_GT((*back)["states"][0]["since"].get<int64_t>(), readySince.get<int64_t>());
    EXPECT_EQ(service.status()["ok"], true);
}

TEST(Status, ConsoleLockReachesTheFeedOnlyWhenHeld) {
    auto& desktop = VirtualDesktop::shared();
    Process saver({"/usr/bin/python3", sourceDir + "/tests/support/fake_screensaver.py"});
    ASSERT_TRUE(saver.waitForOutput("ready", 10s)) << saver.output();
    Service service(desktop.display());
    Feed feed(service.socket);
    // Let the watcher settle its first (unlocked) reading.
    std::this_thread::sleep_for(1500ms);

    std::string seen;
    auto lockedLines = [&](std::chrono::milliseconds within) {
        int count = 0;
        auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = feed.next(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (!line) break;
            seen += line->dump() + "\n";
            if ((*line)["type"] == "state" && (*line)["console"] == json{{"locked", true}}) ++count;
        }
        return count;
    };

    // A one-second lock never settles.
    saver.writeStdin("lock\n");
    std::this_thread::sleep_for(1000ms);
    saver.writeStdin("unlock\n");
    EXPECT_EQ(lockedLines(3s), 0);

    // A lock held past the 1.5 s hold (plus one poll of slack) is reported once.
    saver.writeStdin("lock\n");
    EXPECT_EQ(lockedLines(2200ms), 1) << seen << service.process->output() << saver.output();
    saver.writeStdin("unlock\n");
    EXPECT_EQ(lockedLines(3s), 0);
    EXPECT_NE(service.process->output().find("console changed (locked \u2192 unlocked)"), std::string::npos)
        << service.process->output();
    saver.closeStdin();
}

namespace {

int threadCount(int pid) {
    auto result = runCommand({"/bin/sh", "-c", "ls /proc/" + std::to_string(pid) + "/task | wc -l"});
    return std::atoi(result.output.c_str());
}

}  // namespace

TEST(Events, FeedsOfVanishedClientsEndTheirThreads) {
    auto& desktop = VirtualDesktop::shared();
    Service service(desktop.display());
    // The encoders' calibration at start-up runs threads of its own; count without them.
    ASSERT_TRUE(eventually(
        [&] {
            std::string log = service.process->output();
            return log.find("video: hevc encode") != std::string::npos ||
                   log.find("video: hevc unavailable") != std::string::npos;
        },
        60s, 50ms))
        << service.process->output();
    std::this_thread::sleep_for(300ms);
    int before = threadCount(service.process->pid());
    {
        std::vector<std::unique_ptr<Feed>> feeds;
        for (int i = 0; i < 8; ++i) {
            feeds.push_back(std::make_unique<Feed>(service.socket));
            ASSERT_TRUE(feeds.back()->nextState(5s));
        }
        EXPECT_GE(threadCount(service.process->pid()), before + 8);
    }
    // Noticed through the peer check within about a second.
    EXPECT_TRUE(eventually([&] { return threadCount(service.process->pid()) <= before; }, 2s));
}
