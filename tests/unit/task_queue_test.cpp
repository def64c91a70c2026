// The serial queue's thread: order, timer, and an owner letting go from inside a job.
#include "base/TaskQueue.h"

#include <gtest/gtest.h>

#include <future>

using namespace tovo;
using namespace std::chrono_literals;

TEST(SerialTaskQueue, RunsJobsInOrderAndTicks) {
    SerialTaskQueue queue("test");
    std::vector<int> order;
    std::promise<void> ran;
    for (int i = 0; i < 5; ++i) queue.post([&, i] { order.push_back(i); });
    queue.post([&] { ran.set_value(); });
    ran.get_future().wait();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));

    std::promise<void> ticked;
    std::atomic<int> ticks{0};
    queue.startTimer(5ms, [&] {
        if (++ticks == 3) ticked.set_value();
    });
    EXPECT_EQ(ticked.get_future().wait_for(5s), std::future_status::ready);
    queue.stopTimer();
}

TEST(SerialTaskQueue, MayBeDestroyedFromItsOwnJob) {
    // The last owner of a component lets go while one of its ticks runs: the queue goes away
    // on its own thread, which must end quietly rather than join itself.
    auto owner = std::make_shared<std::unique_ptr<SerialTaskQueue>>(std::make_unique<SerialTaskQueue>("test"));
    std::promise<void> done;
    SerialTaskQueue* queue = owner->get();
    queue->post([owner, &done] {
        owner->reset();
        done.set_value();
    });
    owner.reset();
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(20ms);  // the detached thread finishes on its own state
}
