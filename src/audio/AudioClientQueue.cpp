#include "audio/AudioClientQueue.h"

#include "base/Mutex.h"

namespace tovo {

void AudioClientQueue::push(AudioPacket packet) {
    {
        MutexLock guard(lock);
        if (closed) return;
        ++nextSeq;
        if (items.size() >= capacity) {
            items.pop_front();
            ++droppedCount;
        }
        items.push_back({nextSeq, std::move(packet)});
    }
    wake.notify_one();
}

std::vector<AudioClientQueue::Item> AudioClientQueue::popAll(std::chrono::steady_clock::time_point deadline) {
    MutexLock guard(lock);
    while (items.empty() && !closed) {
        if (guard.waitUntil(wake, deadline) == std::cv_status::timeout) break;
    }
    std::vector<Item> out(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    items.clear();
    return out;
}

void AudioClientQueue::close() {
    {
        MutexLock guard(lock);
        closed = true;
    }
    wake.notify_all();
}

bool AudioClientQueue::isClosed() {
    MutexLock guard(lock);
    return closed;
}

size_t AudioClientQueue::pending() {
    MutexLock guard(lock);
    return items.size();
}

int64_t AudioClientQueue::dropped() {
    MutexLock guard(lock);
    return droppedCount;
}

}  // namespace tovo
