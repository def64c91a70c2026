// Smooth scrolling maths on a hand-driven clock, and wheel clicks from pixel distances.
#include "input/ScrollMotion.h"
#include "input/ScrollSynth.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tovo;
using Emit = ScrollMotion::Emit;
using Phase = ScrollMotion::ScrollPhase;
using Momentum = ScrollMotion::MomentumPhase;

namespace {

struct Timed {
    double at;
    Emit emit;
};

// Steps the motion as its synthesiser would, from `from` while wakes fall before `until`.
std::vector<Timed> drive(ScrollMotion& motion, double from, double until) {
    std::vector<Timed> out;
    double t = from;
    for (int guard = 0; guard < 100000; ++guard) {
        for (const Emit& e : motion.tick(t)) out.push_back({t, e});
        auto wake = motion.nextWake(t);
        if (!wake || *wake > until) break;
        t = *wake;
    }
    return out;
}

int sumY(const std::vector<Timed>& emits) {
    int total = 0;
    for (const auto& t : emits) total += t.emit.dy;
    return total;
}

double lastMovingAt(const std::vector<Timed>& emits) {
    double last = -1;
    for (const auto& t : emits) {
        if (t.emit.dx != 0 || t.emit.dy != 0) last = t.at;
    }
    return last;
}

}  // namespace

TEST(ScrollMotion, PacesEachRequestOverTheExpectedGap) {
    ScrollMotion motion;
    motion.submit(0, 100, "began", {}, {}, {}, 0, 10.0);
    auto first = drive(motion, 10.0, 10.049);
    EXPECT_EQ(sumY(first), 100);
    EXPECT_EQ(first.front().emit.scrollPhase, Phase::began);
    EXPECT_GT(first.front().emit.dy, 0);
    EXPECT_LT(first.front().emit.dy, 100);
    // No estimate yet: a 30 ms window, finished at the first 120 Hz step past it.
    EXPECT_LE(lastMovingAt(first), 10.0 + 0.03 + 1.0 / 120 + 1e-9);
    EXPECT_GE(lastMovingAt(first), 10.0 + 0.02);

    motion.submit(0, 100, "changed", {}, {}, {}, 0, 10.05);
    auto second = drive(motion, 10.05, 10.2);
    EXPECT_EQ(sumY(second), 100);
    EXPECT_NEAR(lastMovingAt(second), 10.05 + 0.045, 1.0 / 120 + 1e-9);  // 0.9 × the 50 ms gap
    EXPECT_GT(lastMovingAt(second), 10.05 + 0.03);
    for (const auto& t : second) EXPECT_EQ(t.emit.scrollPhase, Phase::changed);
    // Nothing more is owed: the next wake is the gesture's time-out.
    EXPECT_EQ(motion.nextWake(10.2), 10.05 + 3.0);
}

TEST(ScrollMotion, ReleaseSpeedDecidesMomentum) {
    ScrollMotion fast;
    fast.submit(0, 40, "began", {}, {}, {}, 0, 0);
    drive(fast, 0, 0.05);
    fast.submit(0, 0, "ended", 0.0, 10000.0, {}, 0, 0.1);
    auto emits = drive(fast, 0.1, 10);
    ASSERT_EQ(fast.finished.size(), 1u);
    const auto& summary = fast.finished[0];
    ASSERT_TRUE(summary.momentumV0);
    EXPECT_DOUBLE_EQ(*summary.momentumV0, 8000);  // capped, same direction
    // The decaying speed integrates to v0 / k pixels; it stops below 20 pt/s after ~3 s.
    EXPECT_NEAR(summary.momentumPxY, 8000 / (1000 * std::log(1 / 0.998)), 12);
    EXPECT_EQ(summary.momentumPxX, 0);
    EXPECT_NEAR(summary.momentumDuration, std::log(20.0 / 8000) / std::log(0.998) / 1000, 0.02);
    EXPECT_EQ(emits.back().emit.momentumPhase, Momentum::end);
    int begins = 0;
    for (const auto& t : emits) begins += t.emit.momentumPhase == Momentum::begin;
    EXPECT_EQ(begins, 1);
    EXPECT_FALSE(fast.nextWake(20));
    EXPECT_NE(summary.description().find("; momentum 8000 pt/s \u2192 (0, "), std::string::npos)
        << summary.description();

    ScrollMotion slow;
    slow.submit(0, 40, "began", {}, {}, {}, 0, 0);
    slow.submit(0, 0, "ended", 0.0, 100.0, {}, 0, 0.02);
    drive(slow, 0.02, 5);
    ASSERT_EQ(slow.finished.size(), 1u);
    EXPECT_FALSE(slow.finished[0].momentumV0);
    std::string line = slow.finished[0].description();
    EXPECT_EQ(line.rfind("scroll gesture: 2 requests, (0, 40) px in ", 0), 0u) << line;
    EXPECT_NE(line.find(" ms; no momentum (100 pt/s at lift)"), std::string::npos) << line;
}

TEST(ScrollMotion, AGestureWithoutEndedTimesOut) {
    ScrollMotion motion;
    motion.submit(0, 10, "began", {}, {}, {}, 0, 1.0);
    auto emits = drive(motion, 1.0, 10);
    ASSERT_FALSE(emits.empty());
    EXPECT_EQ(emits.back().emit.scrollPhase, Phase::ended);
    EXPECT_NEAR(emits.back().at, 4.0, 1e-9);
    ASSERT_EQ(motion.finished.size(), 1u);
    EXPECT_EQ(motion.finished[0].description(),
              "scroll gesture: 1 request, (0, 10) px in 3000 ms, no ended request for 3 s");
}

TEST(ScrollMotion, InterruptionEndsMomentumFirst) {
    ScrollMotion motion;
    motion.submit(0, 40, "began", {}, {}, {}, 0, 0);
    motion.submit(0, 0, "ended", 0.0, 3000.0, {}, 0, 0.01);
    drive(motion, 0.01, 0.2);
    ASSERT_TRUE(motion.momentum);
    motion.interrupt(0.2);
    // The momentum's end is the first thing posted at the next step, before the click.
    auto emits = motion.tick(0.2);
    ASSERT_FALSE(emits.empty());
    EXPECT_EQ(emits.front().momentumPhase, Momentum::end);
    EXPECT_FALSE(motion.momentum);
    ASSERT_EQ(motion.finished.size(), 1u);
    EXPECT_TRUE(motion.finished[0].momentumInterrupted);
    EXPECT_NE(motion.finished[0].description().find(" (interrupted)"), std::string::npos);

    // Interrupting an open gesture delivers what is owed and ends it.
    ScrollMotion open;
    open.submit(0, 100, "began", {}, {}, {}, 0, 0);
    open.interrupt(0);
    auto owed = open.tick(0);
    ASSERT_EQ(owed.size(), 2u);
    EXPECT_EQ(owed[0].scrollPhase, Phase::began);
    EXPECT_EQ(owed[0].dy, 100);
    EXPECT_EQ(owed[1].scrollPhase, Phase::ended);
    EXPECT_TRUE(open.idle());
}

TEST(ScrollMotion, FractionsAreCarriedAndBadNumbersAreZero) {
    ScrollMotion motion;
    int totalX = 0;
    auto collect = [&](double from) {
        for (const auto& t : drive(motion, from, from + 1)) totalX += t.emit.dx;
    };
    motion.submit(12.4, 0, std::nullopt, {}, {}, {}, 0, 0);
    collect(0);
    EXPECT_EQ(totalX, 12);
    motion.submit(0, 5, std::nullopt, {}, {}, {}, 0, 2);
    collect(2);
    EXPECT_EQ(totalX, 12);
    motion.submit(0.6, 0, std::nullopt, {}, {}, {}, 0, 4);
    collect(4);
    EXPECT_EQ(totalX, 13);  // the 0.4 was kept

    motion.submit(std::nan(""), INFINITY, std::nullopt, {}, {}, {}, 0, 6);
    EXPECT_TRUE(motion.remaining.zero());
    EXPECT_FALSE(motion.nextWake(6));
}

TEST(WheelClicks, PixelsBecomeClicksWithTheRestCarried) {
    WheelClicks wheel;
    EXPECT_EQ(wheel.add(0, 30), std::make_pair(0, 0));
    EXPECT_EQ(wheel.add(0, 30), std::make_pair(0, 1));  // 60 px: one click, 20 kept
    EXPECT_EQ(wheel.add(-100, -20), std::make_pair(-2, 0));
    EXPECT_EQ(wheel.add(-20, 0), std::make_pair(-1, 0));  // -20 kept + -20
    EXPECT_FALSE(wheel.owes());

    // A huge distance leaves ten clicks per step; the rest stays owed until it has all gone.
    EXPECT_EQ(wheel.add(0, 1000), std::make_pair(0, 10));
    int total = 10;
    while (wheel.owes()) total += wheel.add(0, 0).second;
    EXPECT_EQ(total, 25);
    EXPECT_EQ(wheel.add(-5000, 0), std::make_pair(-10, 0));
    EXPECT_EQ(wheel.drop(), 115);
    EXPECT_FALSE(wheel.owes());
}
