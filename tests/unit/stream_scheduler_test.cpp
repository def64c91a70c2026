// The stream's timing rules as tables: what the scheduler decides at each moment.
#include "video/StreamScheduler.h"

#include <gtest/gtest.h>

namespace tovo {
namespace {

using Kind = StreamScheduler::Decision::Kind;

struct Step {
    double at;
    std::optional<uint64_t> picture;
    Kind kind;
    PictureKind picked = PictureKind::live;
    bool key = false;
};

// Runs `steps`, sending whatever is decided at once; checks each decision.
void run(StreamScheduler& s, const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        StreamScheduler::Inputs in;
        in.picture = step.picture;
        auto d = s.next(in, step.at);
        EXPECT_EQ(d.kind, step.kind) << "at " << step.at;
        if (d.kind != Kind::send) continue;
        EXPECT_EQ(d.picture, step.picked) << "at " << step.at;
        EXPECT_EQ(d.key, step.key) << "at " << step.at;
        s.encodeStarted(step.at);
        s.sent(d.picture, d.key, *step.picture, step.at, step.at);
    }
}

TEST(StreamScheduler, AnUnchangedScreenGetsKeyRefineRefineThenKeepAlives) {
    StreamScheduler s(StreamTuning{}, 1.0 / 30);
    run(s, {{0.0, 1, Kind::send, PictureKind::live, true},
            {0.1, 1, Kind::wait},
            {0.3, 1, Kind::send, PictureKind::refine},
            {0.6, 1, Kind::send, PictureKind::refine},
            {0.9, 1, Kind::wait},
            {5.5, 1, Kind::wait},
            {5.6, 1, Kind::send, PictureKind::keepalive},
            {10.6, 1, Kind::send, PictureKind::keepalive}});
}

TEST(StreamScheduler, NewPicturesArePacedByTheFrameInterval) {
    StreamScheduler s(StreamTuning{}, 0.1);
    run(s, {{0.0, 1, Kind::send, PictureKind::live, true}, {0.05, 2, Kind::pace}, {0.1, 2, Kind::send}});
    StreamScheduler::Inputs in;
    in.picture = 3;
    EXPECT_DOUBLE_EQ(s.next(in, 0.15).until, 0.2);
}

TEST(StreamScheduler, WaitsWakeForWhatIsDueFirst) {
    StreamScheduler s(StreamTuning{}, 0.1);
    StreamScheduler::Inputs none;
    EXPECT_EQ(s.next(none, 1.0).kind, Kind::wait);
    EXPECT_DOUBLE_EQ(s.next(none, 1.0).until, 1.25);  // the idle check
    run(s, {{1.0, 1, Kind::send, PictureKind::live, true}});
    StreamScheduler::Inputs in;
    in.picture = 1;
    EXPECT_DOUBLE_EQ(s.next(in, 1.1).until, 1.3);  // the refine
    in.stallDeadline = 1.2;
    EXPECT_DOUBLE_EQ(s.next(in, 1.1).until, 1.2);
    in.statsDue = 1.15;
    EXPECT_DOUBLE_EQ(s.next(in, 1.1).until, 1.15);
}

TEST(StreamScheduler, KeyRequestsAreServedNoMoreOftenThanTheMinimumInterval) {
    StreamScheduler s(StreamTuning{}, 0.01);
    run(s, {{0.0, 1, Kind::send, PictureKind::live, true}});
    StreamScheduler::Inputs in;
    in.picture = 1;
    in.keyRequested = true;
    auto early = s.next(in, 0.35);
    EXPECT_EQ(early.kind, Kind::send);  // the refine, not a key
    EXPECT_FALSE(early.key);
    auto due = s.next(in, 0.5);
    EXPECT_EQ(due.kind, Kind::send);
    EXPECT_TRUE(due.key);
}

TEST(StreamScheduler, EndsWhenOverOrAfterRepeatedFailures) {
    StreamScheduler s(StreamTuning{}, 0.1);
    StreamScheduler::Inputs in;
    in.picture = 1;
    in.over = true;
    EXPECT_EQ(s.next(in, 0).kind, Kind::end);
    in.over = false;
    EXPECT_FALSE(s.failed());
    EXPECT_FALSE(s.failed());
    EXPECT_TRUE(s.failed());
    EXPECT_EQ(s.next(in, 1).kind, Kind::end);
}

}  // namespace
}  // namespace tovo
