#include "input/ScrollMotion.h"

#include <algorithm>

namespace tovo {
namespace {

using Vec = ScrollMotion::Vec;

// Whole pixels of `v` (toward zero), leaving the fractions in `v`. A sum of fractions that
// floating point leaves a hair short of a whole pixel still counts as that pixel.
std::pair<int, int> takeWhole(Vec& v) {
    constexpr double hair = 1e-9;
    double wx = std::trunc(v.x + std::copysign(hair, v.x)), wy = std::trunc(v.y + std::copysign(hair, v.y));
    v.x -= wx;
    v.y -= wy;
    auto clampInt = [](double w) { return static_cast<int>(std::clamp(w, -2147483648.0, 2147483647.0)); };
    return {clampInt(wx), clampInt(wy)};
}

double finiteOr0(std::optional<double> v) { return v && std::isfinite(*v) ? *v : 0; }

std::string ms(double seconds) { return std::to_string(static_cast<long long>(std::llround(seconds * 1000))); }

}  // namespace

std::string ScrollMotion::Summary::description() const {
    std::string out = "scroll gesture: " + std::to_string(requests) + " request" + (requests == 1 ? "" : "s");
    if (meanInterval) out += " every " + ms(*meanInterval) + " ms";
    out += ", (" + std::to_string(pxX) + ", " + std::to_string(pxY) + ") px in " + ms(duration) + " ms";
    if (timedOut) out += ", no ended request for 3 s";
    if (interrupted) out += ", interrupted";
    if (momentumV0) {
        out += "; momentum " + std::to_string(std::llround(*momentumV0)) + " pt/s \u2192 (" +
               std::to_string(momentumPxX) + ", " + std::to_string(momentumPxY) + ") px in " + ms(momentumDuration) +
               " ms";
        if (momentumInterrupted) out += " (interrupted)";
    } else if (liftSpeed) {
        out += "; no momentum (" + std::to_string(std::llround(*liftSpeed)) + " pt/s at lift)";
    }
    return out;
}

ScrollMotion::Emit ScrollMotion::make(int dx, int dy, ScrollPhase phase, MomentumPhase momentumPhase) const {
    return Emit{dx, dy, phase, momentumPhase, point, flags};
}

void ScrollMotion::pace(double dx, double dy, double now) {
    remaining.x += dx;
    remaining.y += dy;
    double window = interval ? std::clamp(0.9 * *interval, tickPeriod, maxWindow) : defaultWindow;
    deadline = now + window;
    if (!lastTick) lastTick = now - tickPeriod;
}

// Updates the smoothed interval from the gap since the last arrival.
void ScrollMotion::noteArrival(double now) {
    if (lastArrival) {
        double gap = now - *lastArrival;
        if (gap >= 0 && gap < 0.5) {
            interval = interval ? 0.3 * gap + 0.7 * *interval : gap;
        } else {
            interval.reset();
        }
    } else {
        interval.reset();
    }
    lastArrival = now;
}

void ScrollMotion::submit(double dx, double dy, const std::optional<std::string>& phase, std::optional<double> vx,
                          std::optional<double> vy, std::optional<Point> at, uint64_t eventFlags, double now) {
    if (!std::isfinite(dx)) dx = 0;
    if (!std::isfinite(dy)) dy = 0;
    if (at) point = at;
    flags = eventFlags;
    const bool began = phase == "began", changed = phase == "changed", ended = phase == "ended";

    if (momentum && (began || changed || (!phase && (dx != 0 || dy != 0)))) endMomentum(now, true);

    if (began || changed) {
        if (!gesture) {
            gesture = Gesture{false, std::nullopt, now};
            stats = Stats{};
            stats->first = stats->lastPaced = now;
            interval.reset();
            carry = Vec{};
            lastArrival = now;
        } else if (began) {
            gesture->ending.reset();
            interval.reset();
            lastArrival = now;
        } else {
            noteArrival(now);
        }
        gesture->lastRequest = now;
        if (stats) {
            ++stats->summary.requests;
            if (stats->paced >= 1) stats->summary.meanInterval = (now - stats->first) / stats->paced;
            ++stats->paced;
            stats->lastPaced = now;
        }
        pace(dx, dy, now);
        return;
    }
    if (ended && gesture) {
        Vec v{finiteOr0(vx), finiteOr0(vy)};
        if (double speed = v.length(); speed > speedCap) {
            v.x *= speedCap / speed;
            v.y *= speedCap / speed;
        }
        gesture->ending = v;
        gesture->lastRequest = now;
        if (stats) ++stats->summary.requests;
        if (dx != 0 || dy != 0) {
            pace(dx, dy, now);
        } else if (!lastTick) {
            lastTick = now - tickPeriod;
        }
        return;
    }
    if (dx == 0 && dy == 0) return;
    noteArrival(now);
    pace(dx, dy, now);
}

std::vector<ScrollMotion::Emit> ScrollMotion::tick(double now) {
    std::vector<Emit> out = std::move(pending);
    pending.clear();
    const double previous = lastTick.value_or(now - tickPeriod);
    const double dt = std::max(0.0, now - previous);
    lastTick = now;

    if (momentum) {
        const double k = 1000 * std::log(1 / decayPerMs);
        const double d = std::pow(decayPerMs, dt * 1000);
        momentum->carry.x += momentum->v.x * (1 - d) / k;
        momentum->carry.y += momentum->v.y * (1 - d) / k;
        auto [px, py] = takeWhole(momentum->carry);
        if (!momentum->begun) {
            out.push_back(make(px, py, ScrollPhase::none, MomentumPhase::begin));
            momentum->begun = true;
        } else if (px != 0 || py != 0) {
            out.push_back(make(px, py, ScrollPhase::none, MomentumPhase::cont));
        }
        if (stats) {
            stats->summary.momentumPxX += px;
            stats->summary.momentumPxY += py;
        }
        momentum->v.x *= d;
        momentum->v.y *= d;
        if (momentum->v.length() < stopSpeed) {
            out.push_back(make(0, 0, ScrollPhase::none, MomentumPhase::end));
            momentum.reset();
            if (stats) stats->summary.momentumDuration = now - stats->momentumStart;
            finishStats();
        }
    }

    if (!remaining.zero()) {
        double left = deadline - previous;
        if (left <= dt || left <= 0) {
            carry.x += remaining.x;
            carry.y += remaining.y;
            remaining = Vec{};
        } else {
            double share = dt / left;
            carry.x += remaining.x * share;
            carry.y += remaining.y * share;
            remaining.x -= remaining.x * share;
            remaining.y -= remaining.y * share;
        }
    }
    auto [dx, dy] = takeWhole(carry);

    if (gesture) {
        if (!gesture->beganSent) {
            out.push_back(make(dx, dy, ScrollPhase::began));
        } else if (dx != 0 || dy != 0) {
            out.push_back(make(dx, dy, ScrollPhase::changed));
        }
        gesture->beganSent = true;
        if (stats) {
            stats->summary.pxX += dx;
            stats->summary.pxY += dy;
        }
        if (remaining.zero()) {
            if (gesture->ending) {
                out.push_back(make(0, 0, ScrollPhase::ended));
                closeGesture(*gesture->ending, now);
            } else if (now - gesture->lastRequest >= gestureTimeout) {
                out.push_back(make(0, 0, ScrollPhase::ended));
                if (stats) {
                    stats->summary.timedOut = true;
                    stats->summary.duration = now - stats->first;
                }
                gesture.reset();
                finishStats();
            }
        }
    } else if (dx != 0 || dy != 0) {
        out.push_back(make(dx, dy, ScrollPhase::none));
    }

    auto wake = nextWake(now);
    if (!wake || *wake != now + tickPeriod) lastTick.reset();
    return out;
}

std::optional<double> ScrollMotion::nextWake(double now) const {
    if (!pending.empty() || !remaining.zero() || momentum || (gesture && (!gesture->beganSent || gesture->ending))) {
        return now + tickPeriod;
    }
    if (!gesture) return std::nullopt;
    return std::max(now, gesture->lastRequest + gestureTimeout);
}

void ScrollMotion::closeGesture(Vec velocity, double now) {
    gesture.reset();
    double speed = velocity.length();
    if (stats) {
        stats->summary.duration = now - stats->first;
        stats->summary.liftSpeed = speed;
    }
    if (speed >= momentumThreshold) {
        momentum = Momentum{velocity, false, Vec{}};
        if (stats) {
            stats->summary.momentumV0 = speed;
            stats->momentumStart = now;
        }
    } else {
        finishStats();
    }
}

void ScrollMotion::endMomentum(double now, bool interrupted) {
    if (!momentum) return;
    if (momentum->begun) pending.push_back(make(0, 0, ScrollPhase::none, MomentumPhase::end));
    momentum.reset();
    if (stats) {
        stats->summary.momentumInterrupted = interrupted;
        stats->summary.momentumDuration = now - stats->momentumStart;
    }
    finishStats();
}

void ScrollMotion::finishStats() {
    if (!stats) return;
    finished.push_back(stats->summary);
    stats.reset();
}

void ScrollMotion::interrupt(double now) {
    carry.x += remaining.x;
    carry.y += remaining.y;
    remaining = Vec{};
    auto [dx, dy] = takeWhole(carry);
    if (gesture) {
        if (!gesture->beganSent) {
            pending.push_back(make(dx, dy, ScrollPhase::began));
        } else if (dx != 0 || dy != 0) {
            pending.push_back(make(dx, dy, ScrollPhase::changed));
        }
        pending.push_back(make(0, 0, ScrollPhase::ended));
        if (stats) {
            stats->summary.pxX += dx;
            stats->summary.pxY += dy;
            stats->summary.interrupted = true;
            stats->summary.duration = now - stats->first;
        }
        gesture.reset();
        finishStats();
    } else if (dx != 0 || dy != 0) {
        pending.push_back(make(dx, dy, ScrollPhase::none));
    }
    endMomentum(now, true);
}

}  // namespace tovo
