#include "clipboard/ClipboardMonitor.h"

#include <cmath>

namespace tovo {

ClipboardMonitor::ClipboardMonitor(Pasteboard& pasteboard, std::shared_ptr<TaskQueue> queue, MonotonicClock wall)
    : pasteboard(pasteboard), wall(std::move(wall)), queue(std::move(queue)) {}

ClipboardMonitor::~ClipboardMonitor() { stop(); }

void ClipboardMonitor::start() {
    std::lock_guard<std::mutex> guard(lock);
    if (running) return;
    running = true;
    queue->startTimer(pollInterval, [this] { poll(); });
}

void ClipboardMonitor::stop() {
    std::lock_guard<std::mutex> guard(lock);
    if (!running) return;
    running = false;
    queue->stopTimer();
}

void ClipboardMonitor::poll() {
    std::lock_guard<std::mutex> polling(pollLock);
    int64_t count = pasteboard.changeCount();
    {
        std::lock_guard<std::mutex> guard(lock);
        int64_t previous = lastPolled;
        lastPolled = count;
        if (previous == count) return;
    }
    ClipboardItem item = Clipboard::read(pasteboard, false, this, wall() * 1000);
    {
        std::lock_guard<std::mutex> guard(lock);
        current = item;
    }
    if (onChange) onChange();
}

double ClipboardMonitor::firstSeen(int64_t changeCount) {
    std::lock_guard<std::mutex> guard(lock);
    if (seen && seen->first == changeCount) return seen->second;
    double now = std::round(wall() * 1000);
    seen = {changeCount, now};
    pngCache.reset();
    return now;
}

void ClipboardMonitor::noteOwnWrite(int64_t changeCount, const std::string& source) {
    std::lock_guard<std::mutex> guard(lock);
    own.emplace_back(changeCount, source);
    while (own.size() > ownWrites) own.pop_front();
    seen = {changeCount, std::round(wall() * 1000)};
    pngCache.reset();
}

std::optional<std::string> ClipboardMonitor::sourceOf(int64_t changeCount) {
    std::lock_guard<std::mutex> guard(lock);
    for (auto it = own.rbegin(); it != own.rend(); ++it) {
        if (it->first == changeCount) return it->second;
    }
    return std::nullopt;
}

std::optional<std::string> ClipboardMonitor::png(int64_t changeCount) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pngCache && pngCache->first == changeCount) return pngCache->second;
    }
    auto data = pasteboard.png();
    if (!data) return std::nullopt;
    std::lock_guard<std::mutex> guard(lock);
    pngCache = {changeCount, *data};
    return data;
}

ClipboardItem ClipboardMonitor::latest() {
    std::lock_guard<std::mutex> guard(lock);
    return current;
}

}  // namespace tovo
