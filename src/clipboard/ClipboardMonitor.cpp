#include "clipboard/ClipboardMonitor.h"

#include "base/Mutex.h"

#include <cmath>

namespace tovo {

ClipboardMonitor::ClipboardMonitor(Pasteboard& pasteboard, std::shared_ptr<TaskQueue> queue, MonotonicClock wall)
    : pasteboard(pasteboard), wall(std::move(wall)), queue(std::move(queue)) {}

ClipboardMonitor::~ClipboardMonitor() { stop(); }

void ClipboardMonitor::start() {
    MutexLock guard(lock);
    if (running) return;
    running = true;
    queue->startTimer(pollInterval, [this] { poll(); });
}

void ClipboardMonitor::stop() {
    MutexLock guard(lock);
    if (!running) return;
    running = false;
    queue->stopTimer();
}

void ClipboardMonitor::poll() {
    MutexLock polling(pollLock);
    int64_t count = pasteboard.changeCount();
    {
        MutexLock guard(lock);
        int64_t previous = lastPolled;
        lastPolled = count;
        if (previous == count) return;
    }
    ClipboardItem item = Clipboard::read(pasteboard, false, this, wall() * 1000);
    {
        MutexLock guard(lock);
        current = item;
    }
    if (onChange) onChange();
}

double ClipboardMonitor::firstSeen(int64_t changeCount) {
    MutexLock guard(lock);
    if (seen && seen->first == changeCount) return seen->second;
    double now = std::round(wall() * 1000);
    seen = {changeCount, now};
    pngCache.reset();
    return now;
}

void ClipboardMonitor::noteOwnWrite(int64_t changeCount, const std::string& source) {
    MutexLock guard(lock);
    own.emplace_back(changeCount, source);
    while (own.size() > ownWrites) own.pop_front();
    seen = {changeCount, std::round(wall() * 1000)};
    pngCache.reset();
}

std::optional<std::string> ClipboardMonitor::sourceOf(int64_t changeCount) {
    MutexLock guard(lock);
    for (auto it = own.rbegin(); it != own.rend(); ++it) {
        if (it->first == changeCount) return it->second;
    }
    return std::nullopt;
}

std::optional<std::string> ClipboardMonitor::png(int64_t changeCount) {
    {
        MutexLock guard(lock);
        if (pngCache && pngCache->first == changeCount) return pngCache->second;
    }
    auto data = pasteboard.png();
    if (!data) return std::nullopt;
    MutexLock guard(lock);
    pngCache = {changeCount, *data};
    return data;
}

ClipboardItem ClipboardMonitor::latest() {
    MutexLock guard(lock);
    return current;
}

}  // namespace tovo
