#pragma once

#include "base/Mutex.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tovo {

// What callers ask of a banner's own thread (show these words, hide, end), and the eventfd
// that wakes that thread for it.
//
// Threads: want() and end() from any thread; take(), wakeFd() and drainWake() from the
// banner's thread only.
class BannerRequests {
public:
    BannerRequests();
    ~BannerRequests();
    BannerRequests(const BannerRequests&) = delete;
    BannerRequests& operator=(const BannerRequests&) = delete;

    // The banner with `text`, or none.
    void want(std::optional<std::string> text);
    void end();

    struct Taken {
        bool ending = false;
        bool changed = false;  // a want() since the last take()
        std::optional<std::string> text;
    };
    Taken take();
    int wakeFd() const { return fd; }
    void drainWake();

private:
    void wake();

    int fd = -1;
    Mutex lock;  // guards wanted, generation, ending and applied
    std::optional<std::string> wanted TOVO_GUARDED_BY(lock);
    uint64_t generation TOVO_GUARDED_BY(lock) = 0;
    uint64_t applied TOVO_GUARDED_BY(lock) = 0;
    bool ending TOVO_GUARDED_BY(lock) = false;
};

}  // namespace tovo
