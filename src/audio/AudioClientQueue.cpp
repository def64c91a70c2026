#include "audio/AudioClientQueue.h"

namespace tovo {

void AudioClientQueue::push(AudioPacket packet) {
    {
        std::lock_guard<std::mutex> guard(lock);
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
    std::unique_lock<std::mutex> guard(lock);
    wake.wait_until(guard, deadline, [this] { return !items.empty() || closed; });
    std::vector<Item> out(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    items.clear();
    return out;
}

void AudioClientQueue::close() {
    {
        std::lock_guard<std::mutex> guard(lock);
        closed = true;
    }
    wake.notify_all();
}

bool AudioClientQueue::isClosed() {
    std::lock_guard<std::mutex> guard(lock);
    return closed;
}

size_t AudioClientQueue::pending() {
    std::lock_guard<std::mutex> guard(lock);
    return items.size();
}

int64_t AudioClientQueue::dropped() {
    std::lock_guard<std::mutex> guard(lock);
    return droppedCount;
}

}  // namespace tovo
