#include "video/StreamFlow.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tovo {
namespace {

constexpr double clientReportAge = 10.0;  // a network report older than this is not used
constexpr double qualityReuse = 1.0;
constexpr double qualitySpan = 10.0;

void logAll(const std::vector<std::string>& lines) {
    for (const auto& line : lines) log(line);
}

}  // namespace

StreamFlow::StreamFlow(std::string id, std::string label, StreamFlowController controller, Clock clock,
                       std::function<void()> wake)
    : id(std::move(id)),
      label(std::move(label)),
      clock(std::move(clock)),
      wake(std::move(wake)),
      controller(std::move(controller)) {}

void StreamFlow::start() {
    MutexLock guard(lock);
    if (auto kbps = controller.apply(StreamNetProfile::choose(std::nullopt, controller.tuning()))) pendingKbps = kbps;
}

std::string StreamFlow::rateLine(int from, int to, double at) const {
    auto qd = controller.queueDelayMin();
    char text[200];
    std::snprintf(text, sizeof(text), "%s: bitrate %d → %d kbps (qd %s ms, rtt %s ms, cap %d kbps, sent %.0f kbps)",
                  label.c_str(), from, to, qd ? std::to_string(std::lround(*qd * 1000)).c_str() : "?",
                  controller.latestRTT() ? std::to_string(std::lround(*controller.latestRTT() * 1000)).c_str() : "?",
                  controller.limitKbps(at), controller.sentKbps(at));
    return text;
}

void StreamFlow::ack(uint64_t seq, bool keyframe) {
    double now = clock();
    std::vector<std::string> lines;
    {
        MutexLock guard(lock);
        bool wasOff = controller.windowOff();
        int before = controller.bitrateKbps();
        auto kbps = controller.onAck(seq, keyframe, now);
        if (wasOff && !controller.windowOff()) lines.push_back(label + ": acks are back; flow-control window on again");
        if (kbps) {
            pendingKbps = kbps;
            if (*kbps < before || *kbps >= controller.limitKbps(now)) lines.push_back(rateLine(before, *kbps, now));
        }
        if (auto line = updateProfile(now)) lines.push_back(*line);
    }
    logAll(lines);
    wakeLoop();
}

void StreamFlow::wakeLoop() {
    MutexLock guard(wakeLock);
    if (wake) wake();
}

void StreamFlow::received(const StreamPlayoutReport& incoming) {
    std::optional<std::string> line;
    {
        MutexLock guard(lock);
        double now = clock();
        report = incoming;
        reportFresh = true;
        if (incoming.net) clientNet = std::make_pair(*incoming.net, now);
        if (incoming.audio) audioWindow = audioWindow ? audioWindow->merged(*incoming.audio) : *incoming.audio;
        line = updateProfile(now);
    }
    if (line) log(*line);
    wakeLoop();
}

std::optional<std::string> StreamFlow::updateProfile(double at) {
    std::optional<StreamNetReport> client;
    if (clientNet && at - clientNet->second <= clientReportAge) client = clientNet->first;
    auto chosen = StreamNetProfile::choose(client, controller.tuning());
    if (controller.profile() == chosen) return std::nullopt;
    int before = controller.bitrateKbps();
    if (auto kbps = controller.apply(chosen)) pendingKbps = kbps;
    std::string line =
        label + ": network profile " + chosen.name + " (cap " + std::to_string(chosen.maxKbps) + " kbps)";
    if (controller.bitrateKbps() < before) {
        line += ", bitrate " + std::to_string(before) + " → " + std::to_string(controller.bitrateKbps()) + " kbps";
    }
    return line;
}

StreamNetQuality StreamFlow::netQuality() {
    std::optional<std::string> line;
    StreamNetQuality result;
    {
        MutexLock guard(lock);
        double now = clock();
        if (quality && now - quality->second < qualityReuse) return quality->first;
        std::optional<StreamNetReport> client;
        if (clientNet && now - clientNet->second <= clientReportAge) client = clientNet->first;
        result = StreamNetQuality::graded(controller.rttSummary(now, qualitySpan), client);
        quality = std::make_pair(result, now);
        if (loggedGrade != result.grade) {
            loggedGrade = result.grade;
            line = label + " " + result.line(client);
        }
    }
    if (line) log(*line);
    return result;
}

std::optional<std::string> StreamFlow::takePhoneTail() {
    MutexLock guard(lock);
    if (!report || !reportFresh) return std::nullopt;
    reportFresh = false;
    std::string tail = "phone " + report->compactLine();
    if (audioWindow) tail += " " + audioWindow->compactLine();
    audioWindow.reset();
    return tail;
}

void StreamFlow::finish() {
    {
        MutexLock guard(wakeLock);
        wake = nullptr;
    }
    std::optional<std::string> line;
    {
        MutexLock guard(lock);
        if (quality) {
            std::optional<StreamNetReport> client;
            if (clientNet) client = clientNet->first;
            line = label + " ended; last " + quality->first.line(client);
        }
    }
    if (line) log(*line);
}

StreamFlow::LoopState StreamFlow::poll(double now) {
    LoopState state;
    int disableAfter;
    {
        MutexLock guard(lock);
        state.bitrateKbps = std::exchange(pendingKbps, std::nullopt);
        state.stalled = controller.checkStall(now);
        state.keyRequested = controller.keyPending();
        state.stallDeadline = controller.stallDeadline();
        disableAfter = static_cast<int>(controller.tuning().disableAfter);
    }
    if (state.stalled) {
        log(label + ": no ack for " + std::to_string(disableAfter) + " s; flow-control window off for this stream");
    }
    return state;
}

StreamFlowGate StreamFlow::gate(double now, uint64_t pictureSeq) {
    MutexLock guard(lock);
    return controller.gate(now, pictureSeq);
}

StreamFlow::RefineRoom StreamFlow::refineRoom() {
    MutexLock guard(lock);
    RefineRoom room{controller.queueDelayMin(), controller.tuning().maxKbps};
    if (controller.profile()) room.capKbps = std::min(room.capKbps, controller.profile()->maxKbps);
    return room;
}

void StreamFlow::sent(uint64_t seq, double at, int64_t bytes, bool key) {
    MutexLock guard(lock);
    controller.pictureSent(seq, at, bytes);
    if (key) controller.keySent(at);
}

std::string StreamFlow::summaryLine() {
    MutexLock guard(lock);
    const auto& c = controller;
    char text[320];
    auto ms = [](const std::optional<double>& s) { return s ? *s * 1000 : -1.0; };
    std::snprintf(text, sizeof(text),
                  "window %d%s in flight %zu; %d kbps%s; rtt min %.0f srtt %.0f ms; acks %d limited %d probes %d "
                  "key requests %d; down %d up %d held %d",
                  c.window(), c.windowOff() ? " (off)" : (c.acksStarted() ? "" : " (no acks)"), c.inFlight(),
                  c.bitrateKbps(), c.profile() ? (" " + c.profile()->name).c_str() : "", ms(c.minRTT()),
                  ms(c.smoothedRTT()), c.counters().acks, c.counters().windowLimited, c.counters().probes,
                  c.counters().keyRequests, c.counters().decreases, c.counters().increases, c.counters().heldSteps);
    return text;
}

bool StreamFlowRegistry::isValidID(std::string_view id) {
    if (id.size() < 8 || id.size() > 64) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

void StreamFlowRegistry::add(const std::shared_ptr<StreamFlow>& flow) {
    MutexLock guard(lock);
    flows[flow->id] = flow;
}

std::shared_ptr<StreamFlow> StreamFlowRegistry::lookup(const std::string& id) {
    MutexLock guard(lock);
    auto it = flows.find(id);
    return it == flows.end() ? nullptr : it->second;
}

void StreamFlowRegistry::remove(const std::shared_ptr<StreamFlow>& flow) {
    MutexLock guard(lock);
    auto it = flows.find(flow->id);
    if (it != flows.end() && it->second == flow) flows.erase(it);
}

void StreamRateMeter::add(size_t bytes, double at) {
    if (!startedAt) startedAt = at;
    samples.emplace_back(at, bytes);
    while (!samples.empty() && at - samples.front().first > span) samples.pop_front();
}

std::pair<double, double> StreamRateMeter::rate(double at) {
    while (!samples.empty() && at - samples.front().first > span) samples.pop_front();
    if (!startedAt) return {0, 0};
    double seconds = std::max(std::min(span, at - *startedAt), 0.001);
    double bytes = 0;
    for (const auto& sample : samples) bytes += static_cast<double>(sample.second);
    return {bytes / seconds, static_cast<double>(samples.size()) / seconds};
}

}  // namespace tovo
