// Held buttons released when their client goes quiet or the stream it watched closes.
#include "input/KeyHolds.h"
#include "input/PointerHold.h"
#include "support/FakeInjector.h"
#include "support/ManualTaskQueue.h"

#include <gtest/gtest.h>

namespace tovo {
namespace {

TEST(PointerHolds, ReleasedAfterTenQuietSecondsOrWhenTheStreamTheyCameWithCloses) {
    double now = 0;
    auto queue = std::make_shared<test::ManualTaskQueue>();
    PointerHolds holds([&] { return now; }, queue);
    std::vector<std::string> released;
    auto release = [&](const std::string& name) { return [&, name](double, double) { released.push_back(name); }; };

    holds.hold(1, PointerHolds::inputRoute, 0.5, 0.5, release("quiet"));
    now = 5;
    holds.moved(1, 0.6, 0.6);
    now = 14;
    queue->fireTimer();
    EXPECT_TRUE(released.empty());
    now = 15;
    queue->fireTimer();
    EXPECT_EQ(released, std::vector<std::string>{"quiet"});
    EXPECT_FALSE(queue->timerRunning());

    // Pressed with no stream open: a stream that comes and goes leaves it down.
    holds.hold(1, PointerHolds::inputRoute, 0, 0, release("alone"));
    holds.streamOpened();
    holds.streamClosed();
    EXPECT_EQ(released.size(), 1u);
    // Pressed while one was open: released when the last one closes.
    holds.streamOpened();
    holds.hold(2, PointerHolds::inputRoute, 0, 0, release("watched"));
    holds.streamOpened();
    holds.streamClosed();
    EXPECT_EQ(released.size(), 1u);
    holds.streamClosed();
    EXPECT_EQ(released.back(), "watched");
    EXPECT_EQ(holds.count(), 1u);
    holds.streamClosed();  // never below 0
    EXPECT_EQ(holds.openStreams(), 0);
}

}  // namespace
}  // namespace tovo

namespace tovo {
namespace {

TEST(KeyHolds, ReleasedByKeyUpOrTenSecondsAfterTheirClientsLastInput) {
    double now = 0;
    auto queue = std::make_shared<test::ManualTaskQueue>();
    test::FakeInjector injector;
    KeyHolds keys(
        injector, [&] { return now; }, queue);
    keys.down(Key::tab, ModifierFlags::control);
    EXPECT_EQ(keys.modifiers(), ModifierFlags::control);
    now = 6;
    keys.activity();
    now = 15;
    queue->fireTimer();
    EXPECT_EQ(keys.modifiers(), ModifierFlags::control);  // 9 s since the last input
    now = 16;
    queue->fireTimer();
    const std::string tab = "key " + std::to_string(static_cast<unsigned>(Key::tab));
    EXPECT_EQ(injector.calls(), (std::vector<std::string>{"mods 0x40000", tab + " down", tab + " up", "mods 0x0"}));
    EXPECT_EQ(keys.modifiers(), 0u);
    queue->fireTimer();  // nothing held: the timer stops
    EXPECT_FALSE(queue->timerRunning());

    // A key that is not held is not released again.
    injector.clear();
    keys.up(Key::tab, 0);
    EXPECT_EQ(injector.calls(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tovo
