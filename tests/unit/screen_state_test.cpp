// The state computation, the tracker's publication, coalescing and posted lines, and the
// console debouncing, all on injected clocks and hand-run queues.
#include "session/ConsoleWatch.h"
#include "session/ScreenState.h"
#include "support/ManualTaskQueue.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tovo;
using tovo::test::ManualTaskQueue;

namespace {

ScreenStateInputs readyInputs(uint32_t display = 7) { return {true, true, display, ConsoleState{false}}; }

}  // namespace

TEST(ScreenStateCore, PhasesReasonsAndSince) {
    ScreenStateCore core;
    EXPECT_TRUE(core.update(readyInputs(), 1000.0));
    ASSERT_EQ(core.states.size(), 1u);
    EXPECT_EQ(core.states[0], (ScreenDisplayState{7, true, ScreenPhase::ready, std::nullopt, 1000000, std::nullopt}));
    EXPECT_EQ(core.capture, core.states[0]);

    // Same inputs later: nothing changes, since stays.
    EXPECT_FALSE(core.update(readyInputs(), 1005.0));
    EXPECT_EQ(core.states[0].since, 1000000);

    // A new main display while ready changes the state but keeps since.
    EXPECT_TRUE(core.update(readyInputs(9), 1006.0));
    EXPECT_EQ(core.states[0].display, 9u);
    EXPECT_EQ(core.states[0].since, 1000000);

    // Logging out.
    EXPECT_TRUE(core.update({false, false, 0, ConsoleState{false}}, 1010.2345));
    EXPECT_EQ(core.states[0].json(), (nlohmann::json{{"display", 0},
                                                     {"main", true},
                                                     {"phase", "unavailable"},
                                                     {"reason", "no-session"},
                                                     {"detail", noSessionText},
                                                     {"since", 1010235}}));

    // Logged in without the capture permission.
    EXPECT_TRUE(core.update({true, false, 9, ConsoleState{false}}, 1020.0));
    EXPECT_EQ(core.states[0].reason, ScreenStateReason::noPermission);
    EXPECT_EQ(core.states[0].detail, std::string(noCaptureText));
    EXPECT_EQ(core.states[0].since, 1020000);

    // Back to ready: a new since. A console change alone also counts.
    EXPECT_TRUE(core.update(readyInputs(9), 1030.0));
    EXPECT_EQ(core.states[0].since, 1030000);
    EXPECT_TRUE(core.update({true, true, 9, ConsoleState{true}}, 1031.0));
    EXPECT_TRUE(core.update({true, true, 9, std::nullopt}, 1032.0));
    EXPECT_FALSE(core.update({true, true, 9, std::nullopt}, 1033.0));
}

TEST(ScreenStateTracker, PublishesFirstComputationAndOnlyChangesAfter) {
    auto queue = std::make_shared<ManualTaskQueue>();
    double now = 100;
    auto tracker = std::make_shared<ScreenStateTracker>([&] { return now; }, queue);
    ScreenStateInputs inputs = readyInputs();
    int computations = 0, publications = 0;
    tracker->setInputs([&] {
        ++computations;
        return inputs;
    });
    tracker->setOnPublish([&] { ++publications; });

    tracker->start();
    queue->fireTimer();
    auto first = tracker->snapshot();
    EXPECT_EQ(first.version, 1u);
    EXPECT_EQ(first.stateVersion, 1u);
    EXPECT_EQ(publications, 1);

    now = 101;
    queue->fireTimer();
    EXPECT_EQ(tracker->snapshot().version, 1u);
    EXPECT_EQ(publications, 1);

    inputs.loggedIn = false;
    queue->fireTimer();
    auto second = tracker->snapshot();
    EXPECT_EQ(second.stateVersion, 2u);
    EXPECT_EQ(second.states[0].phase, ScreenPhase::unavailable);
    EXPECT_EQ(tracker->capture(), second.states[0]);
    EXPECT_EQ(computations, 3);

    // Ten requests before the queue runs make one computation.
    for (int i = 0; i < 10; ++i) tracker->setNeedsRefresh();
    EXPECT_EQ(queue->runJobs(), 1);
    EXPECT_EQ(computations, 4);
    tracker->setNeedsRefresh();
    EXPECT_EQ(queue->runJobs(), 1);
    EXPECT_EQ(computations, 5);

    tracker->stop();
    EXPECT_FALSE(queue->timerRunning());
    EXPECT_TRUE(tracker->snapshot().stopped);
}

TEST(ScreenStateTracker, PostedLinesKeepTheNewest32) {
    auto tracker = std::make_shared<ScreenStateTracker>([] { return 0.0; }, std::make_shared<ManualTaskQueue>());
    for (int i = 1; i <= 40; ++i) tracker->post("line " + std::to_string(i) + "\n");
    auto all = tracker->posted(0);
    ASSERT_EQ(all.size(), 32u);
    EXPECT_EQ(all.front(), (ScreenStateTracker::Line{9, "line 9\n"}));
    EXPECT_EQ(all.back(), (ScreenStateTracker::Line{40, "line 40\n"}));
    EXPECT_EQ(tracker->posted(38).size(), 2u);
    EXPECT_TRUE(tracker->posted(40).empty());
    auto snapshot = tracker->snapshot();
    EXPECT_EQ(snapshot.postedSeq, 40u);
    EXPECT_EQ(snapshot.version, 40u);
    EXPECT_EQ(snapshot.stateVersion, 0u);
}

TEST(ScreenStateTracker, WaitersWakeOnChangeAndOnStop) {
    auto tracker = std::make_shared<ScreenStateTracker>([] { return 0.0; }, std::make_shared<ManualTaskQueue>());
    auto far = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        tracker->bumpVersion();
    });
    EXPECT_TRUE(tracker->waitForChange(0, far));
    poster.join();
    EXPECT_EQ(tracker->snapshot().version, 1u);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        tracker->stop();
    });
    EXPECT_FALSE(tracker->waitForChange(1, far));
    stopper.join();
}

TEST(ScreenStateTracker, EventLine) {
    ScreenDisplayState state{3, false, ScreenPhase::ready, std::nullopt, 5, std::nullopt};
    EXPECT_EQ(ScreenStateTracker::eventLine({state}, std::nullopt),
              "{\"console\":null,\"states\":[{\"display\":3,\"phase\":\"ready\",\"since\":5}],\"type\":\"state\"}\n");
    EXPECT_EQ(ScreenStateTracker::eventLine({}, ConsoleState{true}),
              "{\"console\":{\"locked\":true},\"states\":[],\"type\":\"state\"}\n");
}

TEST(ConsoleChangeDetector, DebouncesLocksShorterThanTheHold) {
    ConsoleChangeDetector detector;
    const ConsoleState locked{true}, unlocked{false};
    EXPECT_FALSE(detector.step(unlocked, 0));  // the first reading settles quietly
    EXPECT_EQ(detector.settled, unlocked);

    // Locked for 1 s (readings every 0.5 s): never reported.
    EXPECT_FALSE(detector.step(locked, 10.0));
    EXPECT_FALSE(detector.step(locked, 10.5));
    EXPECT_FALSE(detector.step(locked, 11.0));
    EXPECT_FALSE(detector.step(unlocked, 11.5));
    EXPECT_FALSE(detector.pending);

    // Locked for 2 s: reported once, 1.5 s after it began; the unlock likewise.
    int reports = 0;
    for (double t = 20.0; t < 22.0; t += 0.5) {
        if (auto change = detector.step(locked, t)) {
            ++reports;
            EXPECT_DOUBLE_EQ(t, 21.5);
            EXPECT_EQ(change->first, unlocked);
            EXPECT_EQ(change->second, locked);
        }
    }
    EXPECT_EQ(reports, 1);

    EXPECT_FALSE(detector.step(unlocked, 22.0));
    EXPECT_FALSE(detector.step(unlocked, 23.0));
    auto unlock = detector.step(unlocked, 23.5);
    ASSERT_TRUE(unlock);
    EXPECT_EQ(unlock->second, unlocked);

    // The poll's clock jitters: a reading stamped a few milliseconds short of the hold
    // still settles, one a poll early does not.
    EXPECT_FALSE(detector.step(locked, 30.0));
    EXPECT_FALSE(detector.step(locked, 30.52));
    EXPECT_FALSE(detector.step(locked, 31.0));
    EXPECT_TRUE(detector.step(locked, 31.497));
    EXPECT_FALSE(detector.step(unlocked, 40.0));
    EXPECT_FALSE(detector.step(unlocked, 41.3));
    EXPECT_TRUE(detector.step(unlocked, 41.5));
}
