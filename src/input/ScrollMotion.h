#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The maths of smooth scrolling: spreads each scroll request's distance over about the
// time until the next request is expected, in 120 Hz steps, marks the steps with gesture
// phases, and continues a fast release with decaying momentum. A plain value driven by the
// caller's clock (monotonic seconds); it posts nothing itself.
struct ScrollMotion {
    struct Vec {
        double x = 0;
        double y = 0;
        bool zero() const { return x == 0 && y == 0; }
        double length() const { return std::hypot(x, y); }
        bool operator==(const Vec&) const = default;
    };
    struct Point {
        double x = 0;
        double y = 0;
        bool operator==(const Point&) const = default;
    };
    enum class ScrollPhase { none, began, changed, ended };
    enum class MomentumPhase { none, begin, cont, end };

    // One event to post, in whole pixels.
    struct Emit {
        int dx = 0;
        int dy = 0;
        ScrollPhase scrollPhase = ScrollPhase::none;
        MomentumPhase momentumPhase = MomentumPhase::none;
        std::optional<Point> point;
        uint64_t flags = 0;
    };

    // What one gesture (and its momentum) did, for the log.
    struct Summary {
        int requests = 0;
        std::optional<double> meanInterval;
        int pxX = 0, pxY = 0;
        double duration = 0;
        bool timedOut = false;
        bool interrupted = false;
        std::optional<double> liftSpeed;
        std::optional<double> momentumV0;
        int momentumPxX = 0, momentumPxY = 0;
        double momentumDuration = 0;
        bool momentumInterrupted = false;

        std::string description() const;
    };

    static constexpr double tickPeriod = 1.0 / 120;
    static constexpr double defaultWindow = 0.03;
    static constexpr double maxWindow = 0.14;
    static constexpr double speedCap = 8000;
    static constexpr double momentumThreshold = 120;
    static constexpr double decayPerMs = 0.998;
    static constexpr double stopSpeed = 20;
    static constexpr double gestureTimeout = 3.0;

    // Absorbs one request. `phase` is "began", "changed", "ended" or absent; non-finite
    // distances count as 0.
    void submit(double dx, double dy, const std::optional<std::string>& phase, std::optional<double> vx,
                std::optional<double> vy, std::optional<Point> at, uint64_t eventFlags, double now);
    // The events due at `now`.
    std::vector<Emit> tick(double now);
    // When the next tick is due; none when nothing is owed or open.
    std::optional<double> nextWake(double now) const;
    // Delivers what is owed at once and ends the gesture and momentum, as interrupted.
    void interrupt(double now);
    bool idle() const { return !gesture && !momentum && remaining.zero() && pending.empty(); }

    Vec remaining;
    Vec carry;
    double deadline = 0;
    std::optional<double> lastTick;
    std::optional<double> lastArrival;
    std::optional<double> interval;
    std::optional<Point> point;
    uint64_t flags = 0;

    struct Gesture {
        bool beganSent = false;
        std::optional<Vec> ending;
        double lastRequest = 0;
    };
    struct Momentum {
        Vec v;
        bool begun = false;
        Vec carry;
    };
    struct Stats {
        Summary summary;
        double first = 0;
        double lastPaced = 0;
        int paced = 0;
        double momentumStart = 0;
    };
    std::optional<Gesture> gesture;
    std::optional<Momentum> momentum;
    std::optional<Stats> stats;
    std::vector<Emit> pending;
    std::vector<Summary> finished;

private:
    void pace(double dx, double dy, double now);
    void noteArrival(double now);
    void closeGesture(Vec velocity, double now);
    void endMomentum(double now, bool interrupted);
    void finishStats();
    Emit make(int dx, int dy, ScrollPhase phase, MomentumPhase momentumPhase = MomentumPhase::none) const;
};

}  // namespace tovo
