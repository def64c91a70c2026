// The audio ring, client queues and the capture registry over a source the test feeds.
#include "audio/AudioCapture.h"
#include "audio/AudioDeafWatchdog.h"
#include "audio/AudioRing.h"
#include "support/LogCapture.h"
#include "support/ManualTaskQueue.h"
#include "support/Process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

using namespace tovo;
using namespace tovo::test;
using namespace std::chrono_literals;

namespace {

constexpr int64_t ms = 1000000;  // ns

}  // namespace

TEST(AudioRing, StereoFromMonoOverflowAndSilenceFilling) {
    AudioRing ring(48000, 48000);
    std::vector<float> mono(960, 0.5f), left(960), right(960);
    ring.write(mono.data(), 960, 1, 1000 * ms, 1000 * ms);
    ASSERT_TRUE(ring.read(left.data(), right.data(), 960));
    EXPECT_EQ(right, left);
    EXPECT_EQ(left[0], 0.5f);
    EXPECT_FALSE(ring.read(left.data(), right.data(), 1));

    // More than a second unread: the oldest frames go and are counted.
    std::vector<float> stereo(2 * 30000, 0.25f);
    ring.write(stereo.data(), 30000, 2, 1020 * ms, 1020 * ms);
    ring.write(stereo.data(), 30000, 2, 1645 * ms, 1645 * ms);
    EXPECT_EQ(ring.skipped(), 12000);

    // Silence only after 100 ms without data, 25 ms behind now, at most 20 ms after a pause.
    EXPECT_EQ(ring.fillSilence(1700 * ms), 0);
    EXPECT_EQ(ring.fillSilence(3000 * ms), 960);  // the pause was long: 20 ms
    EXPECT_EQ(ring.fillSilence(3010 * ms), 480);  // then up to 25 ms behind now
    // Samples from a time silence stood in for are dropped, the rest placed after it.
    ring.write(stereo.data(), 960, 2, 2975 * ms, 3011 * ms);
    EXPECT_EQ(ring.silenceFrames(), 1440);
    EXPECT_EQ(ring.takeAnchor()->hostTime, 2985 * ms);
}

TEST(AudioClientQueue, ASlowReaderLosesTheOldest) {
    AudioClientQueue queue;
    for (int i = 0; i < 26; ++i) queue.push(AudioPacket{i, i * 20, "p", false});
    auto items = queue.popAll(std::chrono::steady_clock::now());
    ASSERT_EQ(items.size(), 25u);
    EXPECT_EQ(items.front().seq, 2u);  // the first was pushed out
    EXPECT_EQ(queue.dropped(), 1);
    queue.close();
    queue.push(AudioPacket{});
    EXPECT_TRUE(queue.popAll(std::chrono::steady_clock::now() + 1s).empty());
}

namespace {

// A source the test feeds by hand.
struct HandSource : AudioSource {
    Sink* sink;
    int* starts;
    HandSource(Sink* sink, int* starts) : sink(sink), starts(starts) {}
    Format start(Sink given, std::function<void()>) override {
        *sink = std::move(given);
        ++*starts;
        return Format{48000, 2, "48000 Hz 2 ch float32 (test)"};
    }
    void stop() override { *sink = nullptr; }
    std::optional<OutputLatency> outputLatency() override { return OutputLatency{"test", 21.5, "\"test\" 21.5 ms"}; }
};

}  // namespace

TEST(AudioCaptures, SharedByClientsStoppedThreeSecondsAfterTheLast) {
    AudioSource::Sink sink;
    int starts = 0;
    double now = 100;
    VideoCaptureLatency latency;
    auto queue = std::make_shared<ManualTaskQueue>();
    AudioCaptures captures([&] { return std::make_unique<HandSource>(&sink, &starts); }, latency, queue,
                           [&] { return now; });

    auto first = captures.subscribe();
    auto second = captures.subscribe();
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(first->videoOffset.totalMs(), 36);  // 21.5 + 14, rounded
    EXPECT_EQ(first->cookie.substr(0, 8), "OpusHead");

    // A 1 kHz tone, 100 ms of it at once: five packets, 20 ms apart, to both clients.
    std::vector<float> tone(2 * 4800);
    for (int i = 0; i < 4800; ++i)
        tone[2 * i] = tone[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * i / 48000));
    sink(tone.data(), 4800, 2, static_cast<int64_t>(monotonicSeconds() * 1e9));
    std::vector<AudioClientQueue::Item> got;
    for (auto until = std::chrono::steady_clock::now() + 2s;
         got.size() < 5 && std::chrono::steady_clock::now() < until;) {
        auto items = first->queue->popAll(std::chrono::steady_clock::now() + 100ms);
        got.insert(got.end(), items.begin(), items.end());
    }
    ASSERT_GE(got.size(), 5u);
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(got[i].seq, got[i - 1].seq + 1);
        EXPECT_EQ(got[i].packet.timeMs - got[i - 1].packet.timeMs, 20);
        EXPECT_FALSE(got[i].packet.silent);
    }

    // The last client leaving stops the capture 3 s later; one arriving before reuses it.
    captures.unsubscribe(first);
    captures.unsubscribe(second);
    now += 2;
    queue->fireTimer();
    auto again = captures.subscribe();
    EXPECT_EQ(starts, 1);
    captures.unsubscribe(again);
    now += 2.9;
    queue->fireTimer();
    EXPECT_EQ(captures.statsJSON()["running"], true);
    now += 0.2;
    queue->fireTimer();
    auto stats = captures.statsJSON();
    EXPECT_EQ(stats["running"], false);
    EXPECT_EQ(stats["starts"], 1);
    EXPECT_TRUE(stats["last"]["packets"].get<int>() >= 5) << stats;
    EXPECT_TRUE(second->queue->isClosed());
}

namespace {

struct FakeServer : AudioServerProbe {
    bool others = true;
    AudioTapCheck next{AudioTapCheck::Result::deaf, "paplay pid 1: 3.0 s, peak -160.0 dBFS"};
    int checks = 0;
    std::vector<Playing> playing() override {
        if (!others) return {};
        return {{4242, static_cast<unsigned>(::getuid())}};
    }
    int testPlayer() override { return 0; }
    AudioTapCheck check() override {
        ++checks;
        return next;
    }
};

struct Watched {
    FakeServer server;
    double now = 1000, wall = 1700000000;
    std::vector<std::string> tornDown;
    int handedOver = 0;
    TempDir dir;
    std::string stamp = dir.path() + "/stamp";
    std::unique_ptr<AudioDeafWatchdog> watchdog;
    int owner = 0;

    explicit Watched(bool hostHook) {
        AudioDeafWatchdog::Hooks hooks;
        hooks.tearDown = [this](const std::string& why) { tornDown.push_back(why); };
        if (hostHook) hooks.onDeaf = [this] { ++handedOver; };
        watchdog = std::make_unique<AudioDeafWatchdog>(
            server, hooks, std::make_shared<ManualTaskQueue>(), stamp, [this] { return now; }, [this] { return wall; });
        watchdog->start(&owner, []() -> std::optional<double> { return 1000.0; });  // zeros since 1000
    }
    // Ticks every 2 s for `seconds`.
    void run(double seconds) {
        for (double end = now + seconds; now < end; now += 2, wall += 2) watchdog->tick();
    }
};

}  // namespace

TEST(AudioDeafWatchdog, OnlyOtherProcessesOfThisUserCountAsPlaying) {
    using P = AudioServerProbe::Playing;
    const unsigned me = 1000;
    EXPECT_TRUE(othersPlaying({{77, me}}, 10, me, 0));
    EXPECT_FALSE(othersPlaying({{77, 1001}}, 10, me, 0));          // another user's
    EXPECT_FALSE(othersPlaying({{77, std::nullopt}}, 10, me, 0));  // an unknown user's
    EXPECT_FALSE(othersPlaying({{10, me}}, 10, me, 0));            // this process's own
    EXPECT_FALSE(othersPlaying({P{55, me}}, 10, me, 55));          // the tone player
}

TEST(AudioDeafWatchdog, ChecksOnlyWhileOthersPlayAndActsOncePerResult) {
    Watched quiet(false);
    quiet.server.others = false;
    quiet.run(60);
    EXPECT_EQ(quiet.server.checks, 0);  // zeros alone never trigger a check

    // Others play: after 4 s a check; deaf tears the capture down, at most every 600 s.
    Watched w(false);
    w.run(10);
    EXPECT_EQ(w.server.checks, 1);
    EXPECT_EQ(w.tornDown.size(), 1u);
    w.run(100);  // the cached result is judged once; new checks within 600 s tear nothing
    EXPECT_EQ(w.tornDown.size(), 1u);
    EXPECT_EQ(w.watchdog->statsJSON()["lastResult"], "deaf");
    w.run(600);
    EXPECT_EQ(w.tornDown.size(), 2u);
}

TEST(AudioDeafWatchdog, HandsOverToTheHostAtMostOncePer15MinutesAcrossProcesses) {
    {
        Watched w(true);
        std::ofstream(w.stamp) << std::to_string(w.wall - 600) << "\n";  // 10 minutes ago
        LogCapture log;
        w.run(100);
        EXPECT_EQ(w.handedOver, 0);
        EXPECT_GE(w.watchdog->statsJSON()["suppressed"].get<int>(), 2);
        int lines = 0;
        for (const auto& line : log.lines()) lines += line.find("keeping on") != std::string::npos;
        EXPECT_EQ(lines, 1);
    }
    Watched w(true);
    std::ofstream(w.stamp) << std::to_string(w.wall - 960) << "\n";  // 16 minutes ago
    w.run(10);
    EXPECT_EQ(w.handedOver, 1);
    EXPECT_TRUE(w.tornDown.empty());
}
