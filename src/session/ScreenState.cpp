#include "session/ScreenState.h"

#include "base/Mutex.h"

#include <cmath>

namespace tovo {

const char* toString(ScreenPhase phase) {
    switch (phase) {
    case ScreenPhase::connecting: return "connecting";
    case ScreenPhase::reconnecting: return "reconnecting";
    case ScreenPhase::ready: return "ready";
    case ScreenPhase::unavailable: return "unavailable";
    }
    return "unavailable";
}

const char* toString(ScreenStateReason reason) {
    switch (reason) {
    case ScreenStateReason::starting: return "starting";
    case ScreenStateReason::noSession: return "no-session";
    case ScreenStateReason::noPermission: return "no-permission";
    }
    return "starting";
}

nlohmann::json ScreenDisplayState::json() const {
    nlohmann::json object{{"display", display}, {"phase", toString(phase)}, {"since", since}};
    if (main) object["main"] = true;
    if (reason) object["reason"] = toString(*reason);
    if (detail) object["detail"] = *detail;
    return object;
}

bool ScreenStateCore::update(const ScreenStateInputs& inputs, double now) {
    ScreenDisplayState next;
    next.display = inputs.mainDisplay;
    next.main = true;
    if (!inputs.loggedIn) {
        next.phase = ScreenPhase::unavailable;
        next.reason = ScreenStateReason::noSession;
        next.detail = noSessionText;
    } else if (!inputs.screenRecording) {
        next.phase = ScreenPhase::unavailable;
        next.reason = ScreenStateReason::noPermission;
        next.detail = noCaptureText;
    } else {
        next.phase = ScreenPhase::ready;
    }
    if (last && last->phase == next.phase && last->reason == next.reason) {
        next.since = last->since;
    } else {
        next.since = static_cast<int64_t>(std::llround(now * 1000));
    }

    std::vector<ScreenDisplayState> nextStates{next};
    bool changed = nextStates != states || inputs.console != console;
    last = next;
    capture = next;
    states = std::move(nextStates);
    console = inputs.console;
    return changed;
}

const std::string ScreenStateTracker::pingLine = "{\"type\":\"ping\"}\n";

ScreenStateTracker::ScreenStateTracker(Clock clock, std::shared_ptr<TaskQueue> queue)
    : clock(std::move(clock)), queue(std::move(queue)) {}

void ScreenStateTracker::start() {
    {
        MutexLock guard(condLock);
        if (timerRunning) return;
        stopped = false;
        timerRunning = true;
    }
    std::weak_ptr<ScreenStateTracker> weakSelf = weak_from_this();
    queue->startTimer(refreshInterval, [weakSelf] {
        if (auto self = weakSelf.lock()) self->refresh();
    });
}

void ScreenStateTracker::stop() {
    {
        MutexLock guard(condLock);
        stopped = true;
        timerRunning = false;
    }
    cond.notify_all();
    queue->stopTimer();
}

void ScreenStateTracker::refresh() {
    std::function<ScreenStateInputs()> read;
    {
        MutexLock guard(condLock);
        read = inputs;
    }
    if (!read) return;

    bool changed;
    std::vector<ScreenDisplayState> newStates;
    ScreenDisplayState newCapture;
    std::optional<ConsoleState> newConsole;
    {
        MutexLock guard(computeLock);
        ScreenStateInputs values = read();
        changed = core.update(values, clock());
        newStates = core.states;
        newCapture = core.capture;
        newConsole = core.console;
    }

    std::function<void()> hook;
    {
        MutexLock guard(condLock);
        published = newCapture;
        if (!changed && version != 0) return;
        states = std::move(newStates);
        console = newConsole;
        ++version;
        ++stateVersion;
        hook = onPublish;
    }
    cond.notify_all();
    if (hook) hook();
}

void ScreenStateTracker::setNeedsRefresh() {
    {
        MutexLock guard(condLock);
        if (refreshQueued) return;
        refreshQueued = true;
    }
    std::weak_ptr<ScreenStateTracker> weakSelf = weak_from_this();
    queue->post([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            MutexLock guard(self->condLock);
            self->refreshQueued = false;
        }
        self->refresh();
    });
}

void ScreenStateTracker::setInputs(std::function<ScreenStateInputs()> function) {
    MutexLock guard(condLock);
    inputs = std::move(function);
}

void ScreenStateTracker::setOnPublish(std::function<void()> hook) {
    MutexLock guard(condLock);
    onPublish = std::move(hook);
}

void ScreenStateTracker::post(std::string line) {
    {
        MutexLock guard(condLock);
        ++postedSeq;
        if (postedLines.size() >= postedCapacity) {
            postedLines.erase(postedLines.begin(),
                              postedLines.begin() + static_cast<long>(postedLines.size() - postedCapacity + 1));
        }
        postedLines.emplace_back(postedSeq, std::move(line));
        ++version;
    }
    cond.notify_all();
}

std::vector<ScreenStateTracker::Line> ScreenStateTracker::posted(uint64_t after) {
    MutexLock guard(condLock);
    std::vector<Line> out;
    for (const auto& entry : postedLines) {
        if (entry.first > after) out.push_back(entry);
    }
    return out;
}

void ScreenStateTracker::bumpVersion() {
    {
        MutexLock guard(condLock);
        ++version;
    }
    cond.notify_all();
}

ScreenStateTracker::Snapshot ScreenStateTracker::snapshot() {
    MutexLock guard(condLock);
    return {states, console, version, stateVersion, postedSeq, stopped};
}

ScreenDisplayState ScreenStateTracker::capture() {
    MutexLock guard(condLock);
    return published;
}

bool ScreenStateTracker::waitForChange(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    MutexLock guard(condLock);
    while (!stopped && version == seen) {
        if (guard.waitUntil(cond, deadline) == std::cv_status::timeout) break;
    }
    return !stopped;
}

std::string ScreenStateTracker::eventLine(const std::vector<ScreenDisplayState>& states,
                                          const std::optional<ConsoleState>& console) {
    try {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& state : states) list.push_back(state.json());
        nlohmann::json object{{"type", "state"},
                              {"states", list},
                              {"console", console ? nlohmann::json{{"locked", console->locked}} : nlohmann::json()}};
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } catch (const std::exception&) {
        return "{\"type\":\"state\"}\n";
    }
}

}  // namespace tovo
