#include "service/MainQueue.h"

namespace tovo {

void MainQueue::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(std::move(work));
    }
    posted.notify_one();
}

void MainQueue::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> guard(lock);
            posted.wait(guard, [&] { return !queue.empty(); });
            work = std::move(queue.front());
            queue.pop_front();
        }
        work();
    }
}

}  // namespace tovo
