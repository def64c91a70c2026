// Flow control and network grading on the numbers they are specified with, driven by
// explicit times.
#include "video/StreamFlow.h"
#include "video/StreamFlowController.h"
#include "video/StreamReports.h"
#include "video/StreamTuning.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tovo {
namespace {

using Kind = StreamFlowGate::Kind;

// A controller that has seen acks with a steady `rtt`, ending at time `at`.
StreamFlowController warmed(double rtt, double interval, double& at, int pictures = 12) {
    StreamFlowController c(StreamTuning{}, interval);
    uint64_t seq = 0;
    for (int i = 0; i < pictures; ++i) {
        c.pictureSent(++seq, at, 1000);
        c.onAck(seq, false, at + rtt);
        at += interval;
    }
    return c;
}

TEST(StreamFlowWindow, SizedFromTheMinimumRoundTripAndFrameInterval) {
    double at = 100;
    EXPECT_EQ(StreamFlowController(StreamTuning{}, 1.0 / 30).window(), 4);
    EXPECT_EQ(warmed(0.100, 1.0 / 30, at).window(), 8);
    at = 100;
    EXPECT_EQ(warmed(0.060, 1.0 / 60, at).window(), 10);
    at = 100;
    EXPECT_EQ(warmed(0.5, 1.0 / 60, at).window(), 16);  // capped
}

TEST(StreamFlowWindow, AFullWindowProbesOnceASecondThenSwitchesOffAndBackOn) {
    double at = 100;
    auto c = warmed(0.010, 0.1, at);
    ASSERT_EQ(c.window(), 4);
    // The client stops acking: four pictures fill the window.
    uint64_t seq = c.lastSentSeq();
    double lastAck = *c.lastAckAt();
    double oldestUnacked = at;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(c.gate(at, seq).kind, Kind::go);
        c.pictureSent(++seq, at, 1000);
        at += 0.05;
    }
    double lastPicture = *c.lastPictureAt();
    auto wait = c.gate(at, seq);
    ASSERT_EQ(wait.kind, Kind::wait);
    EXPECT_DOUBLE_EQ(wait.until, lastPicture + 1.0);
    EXPECT_EQ(c.gate(lastPicture + 1.0, seq).kind, Kind::probe);
    c.pictureSent(++seq, lastPicture + 1.0, 1000);
    EXPECT_EQ(c.gate(lastPicture + 1.5, seq).kind, Kind::wait);

    // 3 s after the last ack (the oldest picture is younger) the window goes off, once.
    ASSERT_TRUE(c.stallDeadline());
    EXPECT_DOUBLE_EQ(*c.stallDeadline(), std::max(lastAck, oldestUnacked) + 3.0);
    EXPECT_FALSE(c.checkStall(*c.stallDeadline() - 0.01));
    EXPECT_TRUE(c.checkStall(*c.stallDeadline()));
    EXPECT_FALSE(c.checkStall(at + 10));
    EXPECT_EQ(c.gate(at + 10, seq).kind, Kind::go);

    // A client stuck re-sending an old ack does not hold the window open.
    {
        auto d = warmed(0.010, 0.1, at);
        uint64_t next = d.lastSentSeq();
        double t = at;
        d.pictureSent(++next, t, 1000);
        for (int i = 1; i <= 40; ++i) d.onAck(next - 1, false, t + i * 0.1);
        EXPECT_TRUE(d.checkStall(t + 4.1));
    }

    // A quick ack turns it on again; a slow one does not.
    at += 10;
    c.pictureSent(++seq, at, 1000);
    c.onAck(seq, false, at + 1.5);
    EXPECT_TRUE(c.windowOff());
    c.pictureSent(++seq, at + 2, 1000);
    c.onAck(seq, false, at + 2.2);
    EXPECT_FALSE(c.windowOff());
    EXPECT_EQ(c.reenables(), 1);
}

TEST(StreamFlowWindow, TheSixthSwitchOffIsPermanent) {
    StreamFlowController c(StreamTuning{}, 0.1);
    double at = 10;
    uint64_t seq = 0;
    c.pictureSent(++seq, at, 100);
    c.onAck(seq, false, at + 0.01);
    for (int off = 1; off <= 6; ++off) {
        c.pictureSent(++seq, at, 100);
        ASSERT_TRUE(c.checkStall(at + 3.5)) << off;
        at += 4;
        c.pictureSent(++seq, at, 100);
        c.onAck(seq, false, at + 0.01);
        EXPECT_EQ(c.windowOff(), off == 6) << off;
        at += 1;
    }
    EXPECT_EQ(c.reenables(), 5);
}

// Sends a picture of `bytes` every 100 ms from `from` to `to`, each acked after `base` plus
// `queue` seconds. The queueing delay shows once a whole second of samples carries it.
std::vector<int> feed(StreamFlowController& c, double from, double to, double base, double queue,
                      int64_t bytes = 40000) {
    std::vector<int> all;
    for (double at = from; at < to; at += 0.1) {
        uint64_t seq = c.lastSentSeq() + 1;
        c.pictureSent(seq, at, bytes);
        if (auto kbps = c.onAck(seq, false, at + base + queue)) all.push_back(*kbps);
    }
    return all;
}

TEST(StreamFlowRate, CongestionLowersTheRateButNotRightAfterAKeyFrame) {
    StreamFlowController c(StreamTuning{}, 1.0 / 30);
    // 2 Mb/s sent at 3.5 Mb/s: neither content-limited nor enough to climb.
    feed(c, 0, 2, 0.02, 0, 25000);
    c.keySent(2.0);
    EXPECT_TRUE(feed(c, 2.0, 3.4, 0.02, 0.1, 25000).empty());  // within 1.5 s of the key
    auto actions = feed(c, 3.5, 4.5, 0.02, 0.1, 25000);
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.front(), 2975);  // 0.85 × 3500
    ASSERT_TRUE(c.ceiling());
    EXPECT_EQ(c.ceiling()->kbps, 3150);
}

TEST(StreamFlowRate, AtTheFloorCongestionLeavesTheRate) {
    StreamTuning tuning;
    tuning.startKbps = 300;
    StreamFlowController c(tuning, 1.0 / 30);
    feed(c, 0, 2, 0.02, 0, 2500);
    EXPECT_TRUE(feed(c, 2, 3.75, 0.02, 0.2, 2500).empty());  // one congestion step
    EXPECT_EQ(c.bitrateKbps(), 300);
}

TEST(StreamFlowRate, RecoversToTheStartRateAndClimbsOnlyAfterCleanTime) {
    StreamFlowController c(StreamTuning{}, 1.0 / 30);
    c.setBitrateKbps(2000);
    feed(c, 0, 1.0, 0.02, 0);
    EXPECT_EQ(c.bitrateKbps(), 3125);  // 1.25 × 1.25 × 2000, one step per 0.5 s
    feed(c, 1.0, 2.1, 0.02, 0);
    EXPECT_EQ(c.bitrateKbps(), 3500);  // capped at the start rate while recovering
    EXPECT_EQ(c.counters().climbs, 0);
    feed(c, 2.1, 8, 0.02, 0);  // 3.2 Mb/s sent stops the climb below 4 Mb/s
    EXPECT_GT(c.bitrateKbps(), 3500);
    EXPECT_LT(c.bitrateKbps(), 4500);
    EXPECT_GE(c.counters().climbs, 1);
}

TEST(StreamTuningEnvironment, CapAndClientCap) {
    auto low = StreamTuning::fromEnvironment("50");
    EXPECT_EQ(std::make_tuple(low.maxKbps, low.minKbps, low.startKbps), std::make_tuple(100, 100, 100));
    EXPECT_EQ(StreamTuning::fromEnvironment("+2000").startKbps, 2000);
    EXPECT_EQ(StreamTuning::fromEnvironment("fast").maxKbps, 20000);
    auto capped = StreamTuning{}.withClientCap(1000);
    EXPECT_EQ(capped.maxKbps, 1000);
    EXPECT_EQ(capped.startKbps, 1000);
    EXPECT_EQ(StreamNetProfile::choose(std::nullopt, capped), (StreamNetProfile{"test", 1000}));
    StreamNetReport cellular;
    cellular.iface = "cellular";
    EXPECT_EQ(StreamNetProfile::choose(cellular, StreamTuning{}), (StreamNetProfile{"cellular", 20000}));
    cellular.constrained = true;
    EXPECT_EQ(StreamNetProfile::choose(cellular, StreamTuning{}), (StreamNetProfile{"constrained", 2500}));
}

StreamRTTSummary summary(double minMs, double p90Ms, int n = 10) { return {minMs, (minMs + p90Ms) / 2, p90Ms, n}; }

TEST(StreamNetGrade, GradesAndReasons) {
    using Grade = StreamNetQuality::Grade;
    StreamNetReport failing;
    failing.failures = 3;
    const std::tuple<std::optional<StreamRTTSummary>, std::optional<StreamNetReport>, Grade, std::vector<std::string>>
        cases[] = {
            {summary(20, 120), std::nullopt, Grade::poor, {"jitter"}},
            {summary(100, 120), std::nullopt, Grade::fair, {"rtt"}},
            {summary(10, 20, 4), std::nullopt, Grade::unknown, {"few-samples"}},
            {std::nullopt, failing, Grade::poor, {"failures", "few-samples"}},
            {summary(10, 20), std::nullopt, Grade::good, {}},
        };
    for (const auto& [acks, client, grade, reasons] : cases) {
        auto graded = StreamNetQuality::graded(acks, client);
        EXPECT_EQ(graded.grade, grade);
        EXPECT_EQ(graded.reasons, reasons);
    }
    EXPECT_EQ(StreamNetQuality::graded(summary(100, 120), std::nullopt).json().dump(),
              R"({"grade":"fair","jitterMs":20.0,"reasons":["rtt"],"rttMs":{"min":100.0,"p50":110.0,"p90":120.0}})");
}

TEST(StreamNetGrade, ClientInputRoundTripsNeedFiveSamples) {
    auto report = StreamNetReport::parse(nlohmann::json::parse(
        R"({"iface":"satellite","route":"lan","inputRttMs":{"p50":40,"p90":90,"n":4},"failures":-1})"));
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->iface);
    EXPECT_EQ(report->route, "lan");
    EXPECT_FALSE(report->failures);
    EXPECT_EQ(StreamNetQuality::graded(std::nullopt, report).grade, StreamNetQuality::Grade::unknown);
    report->inputRttSamples = 5;
    auto byInput = StreamNetQuality::graded(std::nullopt, report);
    EXPECT_TRUE(byInput.byInput);
    EXPECT_EQ(byInput.grade, StreamNetQuality::Grade::fair);
    EXPECT_EQ(byInput.reasons, std::vector<std::string>{"jitter"});
}

TEST(StreamFlowObject, AcksQueueActionsLogTheWindowReturnAndTheGrade) {
    double now = 0;
    int wakes = 0;
    StreamTuning tuning;
    tuning.requestMaxKbps = 2000;
    tuning.maxKbps = 2000;
    tuning.startKbps = 2000;
    auto flow = std::make_shared<StreamFlow>(
        "testclient01", "video: display stream testclient01", StreamFlowController(tuning, 0.1), [&] { return now; },
        [&] { ++wakes; });
    flow->start();
    for (uint64_t seq = 1; seq <= 6; ++seq) {
        flow->withController([&](StreamFlowController& c) { c.pictureSent(seq, now, 1000); });
        now += 0.02;
        flow->ack(seq, seq == 6);
        now += 0.08;
    }
    EXPECT_EQ(wakes, 6);
    EXPECT_TRUE(flow->withController([](StreamFlowController& c) { return c.keyPending(); }));
    auto quality = flow->netQuality();
    EXPECT_EQ(quality.grade, StreamNetQuality::Grade::good);
    ASSERT_TRUE(quality.rtt);
    EXPECT_NEAR(quality.rtt->p90Ms, 20, 0.5);

    // After the stream ended, a late ack no longer reaches the loop.
    flow->finish();
    int before = wakes;
    flow->ack(7, false);
    EXPECT_EQ(wakes, before);

    StreamFlowRegistry registry;
    registry.add(flow);
    auto replacement = std::make_shared<StreamFlow>(
        "testclient01", "x", StreamFlowController(tuning, 0.1), [&] { return now; }, nullptr);
    registry.add(replacement);
    registry.remove(flow);  // the newer flow stays
    EXPECT_EQ(registry.lookup("testclient01"), replacement);
    registry.remove(replacement);
    EXPECT_FALSE(registry.lookup("testclient01"));
    EXPECT_TRUE(StreamFlowRegistry::isValidID("abcd_EF-9"));
    EXPECT_FALSE(StreamFlowRegistry::isValidID("abcde"));
    EXPECT_FALSE(StreamFlowRegistry::isValidID("abcdefgh!"));
}

}  // namespace
}  // namespace tovo
