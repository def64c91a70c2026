#pragma once

#include "base/Clock.h"
#include "input/InputInjector.h"
#include "input/ScrollMotion.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tovo {

// Turns a wheel's pixel distance into whole clicks, carrying the rest to the next call.
// X clients scroll by clicks (buttons 4–7); one click stands for 40 pixels, about three
// lines of text in common toolkits, so a client's pixel distances keep their scale.
struct WheelClicks {
    static constexpr double pixelsPerClick = 40;
    double x = 0;
    double y = 0;
    // Clicks for (dx, dy) pixels: positive dx scrolls right, positive dy down.
    std::pair<int, int> add(int dx, int dy);
};

// Smooth scrolling for one injection path: requests are absorbed by a ScrollMotion and its
// steps posted at 120 Hz from the synthesiser's own thread while anything is owed.
//
// Threads: submit and interrupt are called from request threads and return once their
// first step has been posted; the motion is touched only under `lock`.
class ScrollSynth {
public:
    using MovePointer = std::function<void(ScrollMotion::Point)>;

    // `name` heads its log lines; `injector` must outlive the synthesiser.
    ScrollSynth(std::string name, InputInjector& injector, MonotonicClock clock = monotonicSeconds);
    ~ScrollSynth();

    void submit(double dx, double dy, const std::optional<std::string>& phase, std::optional<double> vx,
                std::optional<double> vy, std::optional<ScrollMotion::Point> at, uint64_t flags,
                const MovePointer& movePointer);
    void interrupt();

    const std::string name;

private:
    void stepLocked();
    void post(const ScrollMotion::Emit& emit);
    void run();

    InputInjector& injector;
    const MonotonicClock clock;

    std::mutex lock;  // guards everything below, and orders all posting
    std::condition_variable wake;
    ScrollMotion motion;
    WheelClicks wheel;
    std::optional<ScrollMotion::Point> lastPoint;
    std::optional<double> wakeAt;  // motion clock
    bool ending = false;
    std::thread timer;
};

}  // namespace tovo
