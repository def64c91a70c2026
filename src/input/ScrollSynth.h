#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "input/InputInjector.h"
#include "input/ScrollMotion.h"

#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovo {

// Turns a wheel's pixel distance into whole clicks, carrying the rest to the next call.
// X clients scroll by clicks (buttons 4–7); one click stands for 40 pixels, about three
// lines of text in common toolkits, so a client's pixel distances keep their scale.
// At most `maxClicksPerStep` clicks per axis leave in one step, so that a huge distance
// becomes a bounded stream of clicks rather than one flood; the rest stays owed.
struct WheelClicks {
    static constexpr double pixelsPerClick = 40;
    // 10 clicks per 120 Hz step: 48,000 px/s, six times the fastest momentum.
    static constexpr int maxClicksPerStep = 10;
    double x = 0;
    double y = 0;
    // Adds (dx, dy) pixels and takes the clicks due now: positive dx scrolls right,
    // positive dy down.
    std::pair<int, int> add(double dx, double dy);
    // Whole clicks are still owed.
    bool owes() const { return std::fabs(x) >= pixelsPerClick || std::fabs(y) >= pixelsPerClick; }
    // Forgets the whole clicks owed (keeping fractions) and says how many there were.
    long long drop();
};

// Smooth scrolling for one injection path: requests are absorbed by a ScrollMotion and its
// steps posted at 120 Hz from the synthesiser's own thread while anything is owed.
//
// Threads: submit and interrupt are called from request threads and return once their
// first step has been posted; the motion is touched only under `lock`. Clicks are posted
// after `lock` is released, so a request that only needs the motion never waits for the
// X server.
class ScrollSynth {
public:
    using MovePointer = std::function<void(ScrollMotion::Point)>;

    // `name` heads its log lines; `injector` must outlive the synthesiser.
    ScrollSynth(std::string name, InputInjector& injector, MonotonicClock clock = monotonicSeconds);
    ~ScrollSynth();

    void submit(double dx, double dy, const std::optional<std::string>& phase, std::optional<double> vx,
                std::optional<double> vy, std::optional<ScrollMotion::Point> at, uint64_t flags,
                const MovePointer& movePointer);
    // Ends the gesture and its momentum: what the motion owes is posted now, up to one
    // step's clicks; a backlog beyond that is dropped, since the pointer is about to act
    // elsewhere.
    void interrupt();

    const std::string name;

private:
    struct Turn {
        int x = 0;
        int y = 0;
        uint64_t flags = 0;
    };
    // Advances the motion to now and takes the clicks due. Call with `lock` held.
    std::vector<Turn> stepLocked() TOVO_REQUIRES(lock);
    // Posts `turns` in order; called with `postLock` held and `lock` released.
    void post(const std::vector<Turn>& turns);
    void run();

    InputInjector& injector;
    const MonotonicClock clock;

    Mutex postLock;  // held while posting; taken under `lock` so that posts keep step order
    Mutex lock;      // guards everything below
    std::condition_variable wake;
    ScrollMotion motion TOVO_GUARDED_BY(lock);
    WheelClicks wheel TOVO_GUARDED_BY(lock);
    uint64_t wheelFlags TOVO_GUARDED_BY(lock) = 0;  // modifiers of the last step, for clicks still owed
    std::optional<ScrollMotion::Point> lastPoint TOVO_GUARDED_BY(lock);
    std::optional<double> wakeAt TOVO_GUARDED_BY(lock);  // motion clock
    bool ending TOVO_GUARDED_BY(lock) = false;
    std::thread timer TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
