#include "video/StreamFlowController.h"

#include <algorithm>
#include <cmath>

namespace tovo {

StreamNetProfile StreamNetProfile::choose(const std::optional<StreamNetReport>& client, const StreamTuning& tuning) {
    StreamNetProfile profile{"wifi", tuning.maxKbps};
    if (tuning.requestMaxKbps) {
        profile = {"test", tuning.maxKbps};
    } else if (client && client->constrained.value_or(false)) {
        profile = {"constrained", tuning.constrainedMaxKbps};
    } else if (client && client->iface == "cellular") {
        profile = {"cellular", tuning.cellularMaxKbps.value_or(tuning.maxKbps)};
    }
    profile.maxKbps = std::max(std::min(tuning.maxKbps, profile.maxKbps), tuning.minKbps);
    return profile;
}

StreamFlowController::StreamFlowController(StreamTuning tuning, std::optional<double> frameInterval)
    : tune(tuning), frameInterval(frameInterval), rate{.kbps = tuning.startKbps} {}

int StreamFlowController::window() const {
    auto rtt = minRTT();
    if (!rtt || !frameInterval || *frameInterval <= 0) return tune.videoWindow;
    int n = static_cast<int>(std::ceil(2 * *rtt / *frameInterval)) + 2;
    return std::clamp(n, tune.videoWindow, std::max(tune.videoWindow, tune.maxVideoWindow));
}

std::optional<double> StreamFlowController::minRTT() const {
    std::optional<double> best;
    for (const auto& s : trips.samples) best = best ? std::min(*best, s.value) : s.value;
    return best;
}

std::optional<double> StreamFlowController::queueDelayMin() const {
    auto base = minRTT();
    if (!trips.lastAt || !base) return std::nullopt;
    int count = 0;
    double smallest = INFINITY;
    for (auto it = trips.samples.rbegin(); it != trips.samples.rend() && *trips.lastAt - it->at <= tune.qdWindow;
         ++it) {
        ++count;
        smallest = std::min(smallest, it->value);
    }
    if (count < std::max(tune.qdMinSamples, 1)) return std::nullopt;
    return std::max(0.0, smallest - *base);
}

bool StreamFlowController::switchOffIfStalled(double at) {
    if (!windowActive() || flight.outstanding.empty()) return false;
    double since = std::max(flight.lastAckAt.value_or(-INFINITY), flight.outstanding.front().sentAt);
    if (at < tune.disableAfter + since) return false;
    flight.off = true;
    flight.outstanding.clear();
    return true;
}

StreamFlowGate StreamFlowController::gate(double at, uint64_t pictureSeq) {
    StreamFlowGate g = gateAt(at);
    if (g.kind == StreamFlowGate::Kind::wait && limitedPicture != pictureSeq) {
        ++counts.windowLimited;
        lastWindowLimitedAt = at;
        limitedPicture = pictureSeq;
    } else if (g.kind == StreamFlowGate::Kind::probe) {
        ++counts.probes;
    }
    return g;
}

StreamFlowGate StreamFlowController::gateAt(double at) {
    if (!windowActive() || switchOffIfStalled(at)) return {};
    if (static_cast<int>(flight.outstanding.size()) < window()) return {};
    double t = std::max(flight.lastAckAt.value_or(-INFINITY), flight.lastPictureAt.value_or(-INFINITY));
    if (at - t >= tune.probeAfter) return {StreamFlowGate::Kind::probe, 0};
    return {StreamFlowGate::Kind::wait, t + tune.probeAfter};
}

bool StreamFlowController::checkStall(double at) { return switchOffIfStalled(at); }

std::optional<double> StreamFlowController::stallDeadline() const {
    if (!windowActive() || flight.outstanding.empty()) return std::nullopt;
    return tune.disableAfter + std::max(flight.lastAckAt.value_or(-INFINITY), flight.outstanding.front().sentAt);
}

void StreamFlowController::pictureSent(uint64_t seq, double at, std::optional<int64_t> bytes) {
    flight.lastPictureAt = at;
    flight.lastSentSeq = std::max(flight.lastSentSeq, seq);
    if (bytes) {
        rate.sentBytes.push_back({at, static_cast<double>(*bytes)});
        while (!rate.sentBytes.empty() && at - rate.sentBytes.front().at > tune.utilizationWindow)
            rate.sentBytes.pop_front();
    }
    flight.outstanding.push_back({seq, at});
    if (!windowActive()) {
        while (static_cast<int>(flight.outstanding.size()) > tune.maxTracked) flight.outstanding.pop_front();
    }
}

std::optional<int> StreamFlowController::onAck(uint64_t seq, bool keyframe, double at) {
    if (keyframe) {
        ++counts.keyRequests;
        keyWanted = true;
    }
    auto removeAcked = [&]() -> std::optional<double> {
        std::optional<double> sentAt;
        while (!flight.outstanding.empty() && flight.outstanding.front().seq <= seq) {
            sentAt = flight.outstanding.front().sentAt;
            flight.outstanding.pop_front();
        }
        if (!sentAt) return std::nullopt;
        return std::max(0.0, at - *sentAt);
    };
    if (!flight.off) {
        ++counts.acks;
        flight.acksStarted = true;
        // An ack that repeats one already counted says nothing new about the path: it must
        // not hold the window open for a client stuck re-sending it.
        if (seq <= flight.lastAckSeq && flight.lastAckAt) return {};
        flight.lastAckAt = at;
        flight.lastAckSeq = std::max(flight.lastAckSeq, seq);
        auto rtt = removeAcked();
        if (!rtt) return {};
        return rttSample(*rtt, at);
    }
    auto rtt = removeAcked();
    if (!rtt || flight.reenables >= tune.maxReenables || *rtt > tune.reenableWithin) return {};
    flight.off = false;
    ++flight.reenables;
    flight.lastAckAt = at;
    flight.lastAckSeq = std::max(flight.lastAckSeq, seq);
    ++counts.acks;
    return rttSample(*rtt, at);
}

std::optional<int> StreamFlowController::rttSample(double rtt, double at) {
    trips.latest = rtt;
    trips.smoothed = trips.smoothed ? *trips.smoothed + tune.srttGain * (rtt - *trips.smoothed) : rtt;
    trips.samples.push_back({at, rtt});
    while (!trips.samples.empty() && at - trips.samples.front().at > tune.minRTTWindow) trips.samples.pop_front();
    trips.lastAt = at;

    auto qd = queueDelayMin();
    if (!qd) return std::nullopt;
    if (*qd <= tune.congestedDelay) {
        rate.congestedSince.reset();
        if (*qd >= tune.cleanDelay) {
            rate.cleanSince.reset();
            return {};
        }
        if (!rate.cleanSince) rate.cleanSince = at;
        return increase(*rate.cleanSince, at);
    }
    rate.cleanSince.reset();
    if (rate.lastKeyAt && at - *rate.lastKeyAt < tune.keyGrace) {
        rate.congestedSince.reset();
        return {};
    }
    if (!rate.congestedSince) rate.congestedSince = at;
    if (at - *rate.congestedSince < tune.congestedHold) return {};
    rate.congestedSince = at;
    if (contentLimited(at)) {
        ++counts.heldSteps;
        return {};
    }
    return decrease(at);
}

std::optional<int> StreamFlowController::decrease(double at) {
    rate.lastDecreaseAt = at;
    ++counts.decreases;
    int b = rate.kbps;
    rate.ceiling =
        Ceiling{std::max(static_cast<int>(std::lround(tune.ceilingFactor * b)), tune.minKbps), at + tune.ceilingHold};
    if (b <= tune.minKbps) return std::nullopt;
    rate.kbps = std::max(tune.minKbps, static_cast<int>(std::lround(tune.decreaseFactor * b)));
    return rate.kbps;
}

int StreamFlowController::limitKbps(double at) const {
    int limit = rate.profile ? std::min(tune.maxKbps, rate.profile->maxKbps) : tune.maxKbps;
    if (rate.ceiling && at < rate.ceiling->until) limit = std::min(limit, rate.ceiling->kbps);
    return limit;
}

std::optional<int> StreamFlowController::increase(double clean, double at) {
    double sinceIncrease = at - rate.lastIncreaseAt.value_or(-INFINITY);
    if (sinceIncrease < tune.increaseInterval || at - rate.lastDecreaseAt.value_or(-INFINITY) < tune.increaseInterval) {
        return std::nullopt;
    }
    int limit = limitKbps(at);
    int b = rate.kbps;
    int next;
    if (b >= tune.startKbps) {
        if (at - clean < tune.climbHold || sinceIncrease < std::max(tune.increaseInterval, tune.qdWindow)) {
            return std::nullopt;
        }
        if (!rate.sentBytes.empty() && sentKbps(at) < tune.climbUtilization * b) return std::nullopt;
        next = static_cast<int>(std::lround(tune.increaseFactor * b));
    } else {
        next = static_cast<int>(std::lround(tune.recoverFactor * b));
        limit = std::min(limit, tune.startKbps);
    }
    next = std::min(limit, next);
    if (next <= b) return std::nullopt;
    if (next > tune.startKbps) ++counts.climbs;
    rate.kbps = next;
    rate.lastIncreaseAt = at;
    ++counts.increases;
    return next;
}

std::optional<int> StreamFlowController::apply(const StreamNetProfile& chosen) {
    rate.profile = chosen;
    int cap = std::min(chosen.maxKbps, tune.maxKbps);
    if (cap >= rate.kbps) return {};
    rate.kbps = cap;
    return cap;
}

double StreamFlowController::sentKbps(double at) const {
    double bytes = 0;
    for (const auto& s : rate.sentBytes) {
        if (at - s.at <= tune.utilizationWindow) bytes += s.value;
    }
    return bytes * 8 / 1000 / tune.utilizationWindow;
}

bool StreamFlowController::contentLimited(double at) const {
    if (tune.holdBelowUtilization <= 0 || rate.sentBytes.empty()) return false;
    if (sentKbps(at) >= tune.holdBelowUtilization * rate.kbps) return false;
    return counts.windowLimited == 0 || !lastWindowLimitedAt || at - *lastWindowLimitedAt > tune.utilizationWindow;
}

std::optional<StreamRTTSummary> StreamFlowController::rttSummary(double at, double span) const {
    std::vector<double> ms;
    for (const auto& s : trips.samples) {
        if (at - s.at <= span) ms.push_back(s.value * 1000);
    }
    return StreamRTTSummary::of(std::move(ms));
}

void StreamFlowController::keySent(double at) {
    keyWanted = false;
    rate.lastKeyAt = at;
}

}  // namespace tovo
