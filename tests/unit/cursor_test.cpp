// The pointer tracker on a hand-driven probe and queue, the built-in arrow, cursor part
// bodies and their pacing in a stream.
#include "cursor/CursorArrow.h"
#include "cursor/PointerTracker.h"
#include "image/PNG.h"
#include "input/InputEvent.h"
#include "support/ManualTaskQueue.h"
#include "video/StreamCursor.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tovo;
using namespace tovo::test;

namespace {

struct FakeProbe : PointerProbe {
    std::optional<Point> at{{100, 100}};
    std::optional<SystemCursorImage> image = SystemCursorImage{7, "png-7", 1, 1, 24, 24};
    std::optional<Point> location() override { return at; }
    std::optional<SystemCursorImage> cursorImage() override { return image; }
};

struct Tracked {
    FakeProbe probe;
    CursorShapeIDs ids;
    std::shared_ptr<ManualTaskQueue> queue = std::make_shared<ManualTaskQueue>();
    // The display at (0, 0), 1000 × 500.
    DisplayPointerTracker tracker{1, [] { return PointerBounds{0, 0, 1000, 500}; }, probe, ids, queue};
    int changes = 0;
    Tracked() {
        tracker.setOnChange([this] { ++changes; });
        tracker.start();
    }
};

}  // namespace

TEST(PointerTracker, FollowsThePointerAndItsShape) {
    Tracked t;
    auto [cursor, shape] = t.tracker.current();
    EXPECT_EQ(cursor, (ClientCursor{0.1, 0.2, true, cursor.shapeId}));
    ASSERT_TRUE(shape);
    EXPECT_GE(shape->id, 1000000);
    EXPECT_DOUBLE_EQ(shape->width, 0.024);
    EXPECT_DOUBLE_EQ(shape->height, 0.048);

    // Jitter under 1.5 pixels is not a change; 2 pixels is.
    int before = t.changes;
    t.probe.at = PointerProbe::Point{101, 100};
    t.tracker.sample(false);
    EXPECT_EQ(t.changes, before);
    t.probe.at = PointerProbe::Point{102, 100};
    t.tracker.sample(false);
    EXPECT_EQ(t.changes, before + 1);

    // On another display: hidden, clamped to the nearer edge.
    t.probe.at = PointerProbe::Point{1500, 250};
    t.tracker.sample(false);
    EXPECT_EQ(t.tracker.current().first, (ClientCursor{1.0, 0.5, false, cursor.shapeId}));

    // Injected input moves it at once.
    PointerTrackers trackers;
    auto shared = std::shared_ptr<DisplayPointerTracker>(&t.tracker, [](DisplayPointerTracker*) {});
    trackers.add(shared);
    auto after = [](const std::string& body) { return InputEvent::decode(body).pointerAfter(); };
    auto click = after(R"({"type":"click","x":0.25,"y":0.5})");
    ASSERT_TRUE(click);
    trackers.notePointerAt(click->first, click->second, 1);
    EXPECT_EQ(t.tracker.current().first, (ClientCursor{0.25, 0.5, true, cursor.shapeId}));
    auto drag = after(R"({"type":"drag","x":0.25,"y":0.5,"dx":0.5,"dy":0.75})");  // ends past the edge
    ASSERT_TRUE(drag);
    trackers.notePointerAt(drag->first, drag->second, 1);
    EXPECT_EQ(t.tracker.current().first, (ClientCursor{0.75, 1.0, true, cursor.shapeId}));
    EXPECT_FALSE(after(R"({"type":"key","key":"a","x":0.1,"y":0.1})"));
    EXPECT_FALSE(after(R"({"type":"hover","x":0.1,"y":0.1})"));
    trackers.notePointerAt(0.1, 0.1, 2);  // another display
    EXPECT_EQ(t.tracker.current().first.x, 0.75);

    // The 33rd shape keeps only the current one; without a readable cursor the arrow (id 0).
    for (uint64_t key = 100; key < 132; ++key) {
        t.probe.image->key = key;
        t.tracker.sample(true);
    }
    t.probe.image->key = 500;
    t.tracker.sample(true);
    EXPECT_EQ(t.tracker.systemShapes(), 34u);
    t.probe.image.reset();
    t.tracker.sample(true);
    auto [arrowCursor, arrowShape] = t.tracker.current();
    EXPECT_EQ(arrowCursor.shapeId, 0);
    ASSERT_TRUE(arrowShape);
    // Every other poll samples the shape.
    t.probe.image = SystemCursorImage{900, "png-900", 0, 0, 16, 16};
    t.queue->fireTimer();
    EXPECT_EQ(t.tracker.current().first.shapeId, 0);
    t.queue->fireTimer();
    EXPECT_NE(t.tracker.current().first.shapeId, 0);
}

TEST(CursorArrow, TheBuiltInArrowHasItsGeometry) {
    CursorImage arrow = CursorImage::arrow(52);
    EXPECT_EQ(arrow.visibleHeight, 52);
    EXPECT_EQ(arrow.hotspotX, arrow.hotspotY);
    // The tip's pixel is covered; a corner far from the arrow is clear.
    EXPECT_GT(arrow.rgba[(static_cast<size_t>(arrow.hotspotY + 2) * arrow.width + arrow.hotspotX + 1) * 4 + 3], 0);
    EXPECT_EQ(arrow.rgba[(static_cast<size_t>(arrow.hotspotY + 2) * arrow.width + arrow.width - 1) * 4 + 3], 0);

    auto shape = builtinArrow(1920, 1080);
    ASSERT_TRUE(shape);
    auto decoded = PNG::decode(shape->png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, arrow.width);
    EXPECT_EQ(decoded->height, arrow.height);
    const double s = 0.01625 / 52;
    EXPECT_DOUBLE_EQ(shape->width, s * arrow.width);
    EXPECT_DOUBLE_EQ(shape->hotY, 1920.0 / 1080 * s * arrow.hotspotY);
    EXPECT_FALSE(builtinArrow(0, 1080));
}

TEST(StreamCursor, PartsAreDueOnChangesAtMost60ASecondWithEachShapeOnce) {
    StreamCursorPacer pacer(1.0 / 60);
    ClientCursor cursor{0.5, 0.5, true, 1000001};
    ClientCursorShape shape{1000001, "png", 0, 0, 0.01, 0.02};
    auto first = pacer.next(cursor, shape, 10.0);
    ASSERT_TRUE(first.body);
    EXPECT_TRUE(nlohmann::json::parse(*first.body).contains("shape"));
    EXPECT_FALSE(pacer.next(cursor, shape, 10.1).body);  // nothing changed

    cursor.x = 0.6;
    ClientCursor moving = cursor;
    moving.x = 0.55;
    EXPECT_TRUE(pacer.next(moving, shape, 10.19).body);
    auto early = pacer.next(cursor, shape, 10.195);
    EXPECT_FALSE(early.body);
    EXPECT_DOUBLE_EQ(*early.wakeAt, 10.19 + 1.0 / 60);
    auto moved = pacer.next(cursor, shape, 10.3);
    ASSERT_TRUE(moved.body);
    auto body = nlohmann::json::parse(*moved.body);
    EXPECT_EQ(body, (nlohmann::json{{"x", 0.6}, {"y", 0.5}, {"visible", true}, {"shapeId", 1000001}}));

    // After 32 shapes the record starts again, so images go out again.
    double now = 11;
    for (int64_t id = 1; id <= 32; ++id) {
        cursor.shapeId = id;
        now += 1;
        EXPECT_TRUE(
            nlohmann::json::parse(*pacer.next(cursor, ClientCursorShape{id, "png"}, now).body).contains("shape"));
    }
    cursor.shapeId = 1000001;
    EXPECT_TRUE(nlohmann::json::parse(*pacer.next(cursor, shape, now + 1).body).contains("shape"));
}
