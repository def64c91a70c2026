#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovo {

// What clients read when there is no desktop to see, and when it cannot be captured.
inline constexpr const char* noSessionText = "no graphical login session for this user";
inline constexpr const char* noCaptureText = "the X display cannot be captured by Tovo Control";
inline constexpr const char* noInputText = "the X display takes no synthetic input (XTEST is missing)";

enum class ScreenPhase { connecting, reconnecting, ready, unavailable };
enum class ScreenStateReason { starting, noSession, noPermission };

const char* toString(ScreenPhase phase);
const char* toString(ScreenStateReason reason);

// The state of one display as clients see it.
struct ScreenDisplayState {
    uint32_t display = 0;
    bool main = false;
    ScreenPhase phase = ScreenPhase::connecting;
    std::optional<ScreenStateReason> reason;
    int64_t since = 0;  // when phase and reason took their values, ms since 1970 UTC
    std::optional<std::string> detail;

    bool operator==(const ScreenDisplayState&) const = default;
    // {"display", "phase", "since"} plus "main" only when true, "reason" and "detail" when set.
    nlohmann::json json() const;
};

struct ConsoleState {
    bool locked = false;
    bool operator==(const ConsoleState&) const = default;
    const char* description() const { return locked ? "locked" : "unlocked"; }
};

struct ScreenStateInputs {
    bool loggedIn = false;
    bool screenRecording = false;
    uint32_t mainDisplay = 0;
    std::optional<ConsoleState> console;  // absent until the console watcher settled one
};

// The state computation, a plain value the tracker owns.
struct ScreenStateCore {
    std::vector<ScreenDisplayState> states;
    ScreenDisplayState capture{0, false, ScreenPhase::connecting, ScreenStateReason::starting, 0, std::nullopt};
    std::optional<ConsoleState> console;
    std::optional<ScreenDisplayState> last;

    // Computes the state for `inputs` at `now` (seconds since 1970); true when the states or
    // the console state changed.
    bool update(const ScreenStateInputs& inputs, double now);
};

// Combines the session, permission and console inputs twice a second into per-display
// states, counts changes and wakes waiters, and buffers lines posted for the event feed.
//
// Threads: refreshes run on the tracker's own serial queue; every other member may be
// called from any thread. Lock order: computeLock before condLock, never the reverse; the
// inputs function and the publish hook run with neither held. Create it with
// std::make_shared, and let the last reference go outside its queue.
class ScreenStateTracker : public std::enable_shared_from_this<ScreenStateTracker> {
public:
    using Clock = std::function<double()>;  // seconds since 1970
    using Line = std::pair<uint64_t, std::string>;

    static constexpr size_t postedCapacity = 32;
    static constexpr std::chrono::milliseconds refreshInterval{500};

    // What readers copy out under the condition lock.
    struct Snapshot {
        std::vector<ScreenDisplayState> states;
        std::optional<ConsoleState> console;
        uint64_t version = 0;
        uint64_t stateVersion = 0;
        uint64_t postedSeq = 0;
        bool stopped = false;
    };

    explicit ScreenStateTracker(Clock clock = wallSeconds, std::shared_ptr<TaskQueue> queue =
                                                               std::make_shared<SerialTaskQueue>("tovo-control-state"));

    void start();
    void stop();
    void refresh();
    // Queues one refresh; any number of calls before it runs cause one refresh.
    void setNeedsRefresh();

    void setInputs(std::function<ScreenStateInputs()> inputs);
    void setOnPublish(std::function<void()> onPublish);

    // Adds a line for the event feeds; the newest 32 are kept.
    void post(std::string line);
    // Posted lines with a sequence number above `seq`, oldest first.
    std::vector<Line> posted(uint64_t after);
    // Moves the change counter without a new state (a clipboard change).
    void bumpVersion();

    Snapshot snapshot();
    ScreenDisplayState capture();
    // Waits until `version` differs from `seen`, the tracker stops or `deadline` passes.
    // False when the tracker is stopped.
    bool waitForChange(uint64_t seen, std::chrono::steady_clock::time_point deadline);

    static std::string eventLine(const std::vector<ScreenDisplayState>& states,
                                 const std::optional<ConsoleState>& console);
    static const std::string pingLine;

private:
    const Clock clock;
    const std::shared_ptr<TaskQueue> queue;

    Mutex computeLock;  // guards core
    ScreenStateCore core TOVO_GUARDED_BY(computeLock);

    Mutex condLock;  // guards every field below; `cond` is broadcast on every change
    std::condition_variable cond;
    std::function<ScreenStateInputs()> inputs TOVO_GUARDED_BY(condLock);
    std::function<void()> onPublish TOVO_GUARDED_BY(condLock);
    std::vector<ScreenDisplayState> states TOVO_GUARDED_BY(condLock);
    ScreenDisplayState published TOVO_GUARDED_BY(condLock){core.capture};
    std::optional<ConsoleState> console TOVO_GUARDED_BY(condLock);
    uint64_t version TOVO_GUARDED_BY(condLock) = 0;
    uint64_t stateVersion TOVO_GUARDED_BY(condLock) = 0;
    bool stopped TOVO_GUARDED_BY(condLock) = false;
    bool timerRunning TOVO_GUARDED_BY(condLock) = false;
    bool refreshQueued TOVO_GUARDED_BY(condLock) = false;
    std::vector<Line> postedLines TOVO_GUARDED_BY(condLock);
    uint64_t postedSeq TOVO_GUARDED_BY(condLock) = 0;
};

}  // namespace tovo
