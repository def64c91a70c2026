#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace tovo {

// Work sent to the main thread. The main thread calls run() once and serves the queue for
// the rest of the process's life; any thread may post().
class MainQueue {
public:

    void post(std::function<void()> work);
    // Runs posted work in order, forever. Call only on the main thread.
    [[noreturn]] void run();

private:
    std::mutex lock;  // guards queue
    std::condition_variable posted;
    std::deque<std::function<void()>> queue;
};

}  // namespace tovo
