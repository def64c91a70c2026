#pragma once

#include "base/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tovo {

// One Opus packet of 960 stereo frames at 48 kHz.
struct AudioPacket {
    int64_t index = 0;
    int64_t timeMs = 0;  // wall clock of its first sample, ms since 1970
    std::string data;
    bool silent = false;
};

// The packets waiting for one client: at most 25 (0.5 s); a slow reader loses the oldest,
// which shows as a gap in the sequence numbers it reads.
//
// Threads: push from the encode thread, popAll from the client's, close from either.
class AudioClientQueue {
public:
    static constexpr size_t capacity = 25;
    struct Item {
        uint64_t seq = 0;
        AudioPacket packet;
    };

    void push(AudioPacket packet);
    // Waits until something is pending, the queue closed, or `deadline`; takes everything.
    std::vector<Item> popAll(std::chrono::steady_clock::time_point deadline);
    void close();
    bool isClosed();
    size_t pending();
    int64_t dropped();

private:
    Mutex lock;  // guards everything below
    std::condition_variable wake;
    std::deque<Item> items TOVO_GUARDED_BY(lock);
    uint64_t nextSeq TOVO_GUARDED_BY(lock) = 0;
    bool closed TOVO_GUARDED_BY(lock) = false;
    int64_t droppedCount TOVO_GUARDED_BY(lock) = 0;
};

}  // namespace tovo
