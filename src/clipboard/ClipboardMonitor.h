#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "clipboard/Clipboard.h"
#include "clipboard/Pasteboard.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tovo {

// Watches the clipboard: polls its change count every 0.5 s and, when it moved, takes a
// snapshot (without text) and calls `onChange`. Remembers the writes that came through
// this service and who made them, when each change count was first seen, and the PNG of
// the current image.
//
// Threads: polls run on `queue`; the rest from any thread. onChange runs after the lock is
// released.
class ClipboardMonitor {
public:
    static constexpr std::chrono::milliseconds pollInterval{500};
    static constexpr size_t ownWrites = 8;

    ClipboardMonitor(Pasteboard& pasteboard, std::shared_ptr<TaskQueue> queue, MonotonicClock wall = wallSeconds);
    ~ClipboardMonitor();

    void start();
    void stop();
    void poll();
    void noteOwnWrite(int64_t changeCount, const std::string& source);
    // When `changeCount` was first seen, ms since 1970.
    double firstSeen(int64_t changeCount);
    std::optional<std::string> sourceOf(int64_t changeCount);
    // The PNG of the image for `changeCount`, converted at most once per change count.
    std::optional<std::string> png(int64_t changeCount);
    ClipboardItem latest();

    std::function<void()> onChange;  // set before start()
    Pasteboard& pasteboard;

private:
    const MonotonicClock wall;
    Mutex pollLock;  // serialises polls
    Mutex lock;      // guards everything below
    std::optional<std::pair<int64_t, double>> seen TOVO_GUARDED_BY(lock);
    std::deque<std::pair<int64_t, std::string>> own TOVO_GUARDED_BY(lock);
    std::optional<std::pair<int64_t, std::string>> pngCache TOVO_GUARDED_BY(lock);
    ClipboardItem current TOVO_GUARDED_BY(lock);
    int64_t lastPolled TOVO_GUARDED_BY(lock) = -1;
    bool running TOVO_GUARDED_BY(lock) = false;
    // Last, so that its thread ends before the fields a poll reads.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo
