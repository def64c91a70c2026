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

StreamFlowController::StreamFlowController(StreamTuning tuning, std::vector<int> widths, std::optional<double> frameInterval)
    : tuning(tuning), widths(std::move(widths)), bitrateKbps(tuning.startKbps), frameInterval(frameInterval) {}

int StreamFlowController::window() const {
    auto rtt = minRTT();
    if (!rtt || !frameInterval || *frameInterval <= 0) return tuning.videoWindow;
    int n = static_cast<int>(std::ceil(2 * *rtt / *frameInterval)) + 2;
    return std::clamp(n, tuning.videoWindow, std::max(tuning.videoWindow, tuning.maxVideoWindow));
}

std::optional<double> StreamFlowController::minRTT() const {
    std::optional<double> best;
    for (const auto& s : rttSamples) best = best ? std::min(*best, s.value) : s.value;
    return best;
}

std::optional<double> StreamFlowController::queueDelayMin() const {
    auto base = minRTT();
    if (!lastSampleAt || !base) return std::nullopt;
    int count = 0;
    double smallest = INFINITY;
    for (auto it = rttSamples.rbegin(); it != rttSamples.rend() && *lastSampleAt - it->at <= tuning.qdWindow; ++it) {
        ++count;
        smallest = std::min(smallest, it->value);
    }
    if (count < std::max(tuning.qdMinSamples, 1)) return std::nullopt;
    return std::max(0.0, smallest - *base);
}

bool StreamFlowController::switchOffIfStalled(double at) {
    if (!windowActive() || outstanding.empty()) return false;
    double since = std::max(lastAckAt.value_or(-INFINITY), outstanding.front().sentAt);
    if (at < tuning.disableAfter + since) return false;
    disabled = true;
    outstanding.clear();
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
    if (static_cast<int>(outstanding.size()) < window()) return {};
    double t = std::max(lastAckAt.value_or(-INFINITY), lastPictureAt.value_or(-INFINITY));
    if (at - t >= tuning.probeAfter) return {StreamFlowGate::Kind::probe, 0};
    return {StreamFlowGate::Kind::wait, t + tuning.probeAfter};
}

bool StreamFlowController::checkStall(double at) { return switchOffIfStalled(at); }

std::optional<double> StreamFlowController::stallDeadline() const {
    if (!windowActive() || outstanding.empty()) return std::nullopt;
    return tuning.disableAfter + std::max(lastAckAt.value_or(-INFINITY), outstanding.front().sentAt);
}

void StreamFlowController::pictureSent(uint64_t seq, double at, std::optional<int64_t> bytes) {
    lastPictureAt = at;
    lastSentSeq = std::max(lastSentSeq, seq);
    if (bytes) {
        sentBytes.push_back({at, static_cast<double>(*bytes)});
        while (!sentBytes.empty() && at - sentBytes.front().at > tuning.utilizationWindow) sentBytes.pop_front();
    }
    outstanding.push_back({seq, at});
    if (!windowActive()) {
        while (static_cast<int>(outstanding.size()) > tuning.maxTracked) outstanding.pop_front();
    }
}

std::vector<StreamFlowAction> StreamFlowController::onAck(uint64_t seq, bool keyframe, double at) {
    if (keyframe) {
        ++counts.keyRequests;
        keyWanted = true;
    }
    auto removeAcked = [&]() -> std::optional<double> {
        std::optional<double> sentAt;
        while (!outstanding.empty() && outstanding.front().seq <= seq) {
            sentAt = outstanding.front().sentAt;
            outstanding.pop_front();
        }
        if (!sentAt) return std::nullopt;
        return std::max(0.0, at - *sentAt);
    };
    if (!disabled) {
        ++counts.acks;
        acksStarted = true;
        // An ack that repeats one already counted says nothing new about the path: it must
        // not hold the window open for a client stuck re-sending it.
        if (seq <= lastAckSeq && lastAckAt) return {};
        lastAckAt = at;
        lastAckSeq = std::max(lastAckSeq, seq);
        auto rtt = removeAcked();
        if (!rtt) return {};
        return rttSample(*rtt, at);
    }
    auto rtt = removeAcked();
    if (!rtt || reenables >= tuning.maxReenables || *rtt > tuning.reenableWithin) return {};
    disabled = false;
    ++reenables;
    lastAckAt = at;
    lastAckSeq = std::max(lastAckSeq, seq);
    ++counts.acks;
    return rttSample(*rtt, at);
}

std::vector<StreamFlowAction> StreamFlowController::rttSample(double rtt, double at) {
    latestRTT = rtt;
    srtt = srtt ? *srtt + tuning.srttGain * (rtt - *srtt) : rtt;
    rttSamples.push_back({at, rtt});
    while (!rttSamples.empty() && at - rttSamples.front().at > tuning.minRTTWindow) rttSamples.pop_front();
    lastSampleAt = at;

    auto qd = queueDelayMin();
    if (!qd) return {};
    std::vector<StreamFlowAction> actions;
    if (*qd <= tuning.congestedDelay) {
        congestedSince.reset();
        if (*qd >= tuning.cleanDelay) {
            cleanSince.reset();
            return {};
        }
        if (!cleanSince) cleanSince = at;
        if (auto rate = increase(*cleanSince, at)) actions.push_back({StreamFlowAction::Kind::bitrate, *rate});
        if (resolutionIndex >= 1 && at - *cleanSince >= tuning.resolutionUpHold &&
            at - lastResolutionChangeAt.value_or(-INFINITY) >= tuning.resolutionUpHold) {
            --resolutionIndex;
            lastResolutionChangeAt = at;
            cleanSince = at;
            actions.push_back({StreamFlowAction::Kind::resolution, resolutionIndex});
        }
        return actions;
    }
    cleanSince.reset();
    if (lastKeyAt && at - *lastKeyAt < tuning.keyGrace) {
        congestedSince.reset();
        return {};
    }
    if (!congestedSince) congestedSince = at;
    if (at - *congestedSince < tuning.congestedHold) return {};
    congestedSince = at;
    if (contentLimited(at)) {
        ++counts.heldSteps;
        return {};
    }
    return decrease(at);
}

std::vector<StreamFlowAction> StreamFlowController::decrease(double at) {
    lastDecreaseAt = at;
    ++counts.decreases;
    int b = bitrateKbps;
    ceiling = Ceiling{std::max(static_cast<int>(std::lround(tuning.ceilingFactor * b)), tuning.minKbps),
                      at + tuning.ceilingHold};
    if (b <= tuning.minKbps) {
        if (resolutionIndex + 1 < static_cast<int>(widths.size())) {
            ++resolutionIndex;
            lastResolutionChangeAt = at;
            return {{StreamFlowAction::Kind::resolution, resolutionIndex}};
        }
        return {};
    }
    bitrateKbps = std::max(tuning.minKbps, static_cast<int>(std::lround(tuning.decreaseFactor * b)));
    return {{StreamFlowAction::Kind::bitrate, bitrateKbps}};
}

int StreamFlowController::limitKbps(double at) const {
    int limit = profile ? std::min(tuning.maxKbps, profile->maxKbps) : tuning.maxKbps;
    if (ceiling && at < ceiling->until) limit = std::min(limit, ceiling->kbps);
    return limit;
}

std::optional<int> StreamFlowController::increase(double clean, double at) {
    double sinceIncrease = at - lastIncreaseAt.value_or(-INFINITY);
    if (sinceIncrease < tuning.increaseInterval || at - lastDecreaseAt.value_or(-INFINITY) < tuning.increaseInterval) {
        return std::nullopt;
    }
    int limit = limitKbps(at);
    int b = bitrateKbps;
    int next;
    if (b >= tuning.startKbps) {
        if (at - clean < tuning.climbHold || sinceIncrease < std::max(tuning.increaseInterval, tuning.qdWindow)) {
            return std::nullopt;
        }
        if (!sentBytes.empty() && sentKbps(at) < tuning.climbUtilization * b) return std::nullopt;
        next = static_cast<int>(std::lround(tuning.increaseFactor * b));
    } else {
        next = static_cast<int>(std::lround(tuning.recoverFactor * b));
        limit = std::min(limit, tuning.startKbps);
    }
    next = std::min(limit, next);
    if (next <= b) return std::nullopt;
    if (next > tuning.startKbps) ++counts.climbs;
    bitrateKbps = next;
    lastIncreaseAt = at;
    ++counts.increases;
    return next;
}

std::vector<StreamFlowAction> StreamFlowController::apply(const StreamNetProfile& chosen) {
    profile = chosen;
    int cap = std::min(chosen.maxKbps, tuning.maxKbps);
    if (cap >= bitrateKbps) return {};
    bitrateKbps = cap;
    return {{StreamFlowAction::Kind::bitrate, cap}};
}

double StreamFlowController::sentKbps(double at) const {
    double bytes = 0;
    for (const auto& s : sentBytes) {
        if (at - s.at <= tuning.utilizationWindow) bytes += s.value;
    }
    return bytes * 8 / 1000 / tuning.utilizationWindow;
}

bool StreamFlowController::contentLimited(double at) const {
    if (tuning.holdBelowUtilization <= 0 || sentBytes.empty()) return false;
    if (sentKbps(at) >= tuning.holdBelowUtilization * bitrateKbps) return false;
    return counts.windowLimited == 0 || !lastWindowLimitedAt || at - *lastWindowLimitedAt > tuning.utilizationWindow;
}

std::optional<StreamRTTSummary> StreamFlowController::rttSummary(double at, double span) const {
    std::vector<double> ms;
    for (const auto& s : rttSamples) {
        if (at - s.at <= span) ms.push_back(s.value * 1000);
    }
    return StreamRTTSummary::of(std::move(ms));
}

void StreamFlowController::keySent(double at) {
    keyWanted = false;
    lastKeyAt = at;
}

}  // namespace tovo
