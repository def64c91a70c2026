#pragma once

#include "base/Mutex.h"
#include "video/StreamFlowController.h"
#include "video/StreamReports.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovo {

// Flow control of one video stream with a client id. The stream loop, the ack handler and
// the report handler use it from their own threads; logging and waking the loop happen
// after the lock is released.
class StreamFlow {
public:
    using Clock = std::function<double()>;  // monotonic seconds

    StreamFlow(std::string id, std::string label, StreamFlowController controller, Clock clock,
               std::function<void()> wake);

    const std::string id;
    const std::string label;

    // Applies the starting bit-rate profile (no client report yet); its actions are queued.
    void start();
    // An acknowledgement of the section numbered `seq`; `keyframe` asks for a key frame.
    void ack(uint64_t seq, bool keyframe);
    void received(const StreamPlayoutReport& report);
    // The current network grade (reused for up to a second); logs a changed grade.
    StreamNetQuality netQuality();
    // "phone …" for the statistics line when a playout report came since the last call.
    std::optional<std::string> takePhoneTail();
    // The stream is over: no more wake-ups reach the loop (an ack handler may still hold the
    // flow), and the last network quality is logged when one was measured.
    void finish();
    // What the stream loop learns at the top of a turn: the bit rate to set (kbps), when it changed, whether the
    // window was just switched off for want of acks (logged here), whether a key frame is
    // wanted, and when the stall check is next due.
    struct LoopState {
        std::optional<int> bitrateKbps;
        bool stalled = false;
        bool keyRequested = false;
        std::optional<double> stallDeadline;
    };
    LoopState poll(double now);
    // Whether source picture `pictureSeq` may go out now.
    StreamFlowGate gate(double now, uint64_t pictureSeq);
    // How much a refine may raise the rate: the queueing delay seen and the cap in force.
    struct RefineRoom {
        std::optional<double> queueDelay;
        int capKbps = 0;
    };
    RefineRoom refineRoom();
    // Section `seq` (`bytes` long, a key frame when `key`) went out at `at`.
    void sent(uint64_t seq, double at, int64_t bytes, bool key);
    // A one-line account of the window, rate and round trips, for the statistics.
    std::string summaryLine();

    // Runs `f` with the controller under the lock.
    template <typename F>
    auto withController(F&& f) {
        MutexLock guard(lock);
        return f(controller);
    }

private:
    // Re-chooses the profile from a recent client report; the log line, when it changed.
    std::optional<std::string> updateProfile(double at) TOVO_REQUIRES(lock);
    std::string rateLine(int from, int to, double at) const TOVO_REQUIRES(lock);

    // Calls the loop's wake-up unless the stream is over.
    void wakeLoop();

    const Clock clock;

    Mutex wakeLock;  // guards wake; held while calling it so that finish() waits for a call
    std::function<void()> wake TOVO_GUARDED_BY(wakeLock);

    Mutex lock;  // guards every field below
    StreamFlowController controller TOVO_GUARDED_BY(lock);
    std::optional<int> pendingKbps TOVO_GUARDED_BY(lock);  // the newest rate the loop has not taken yet
    std::optional<StreamPlayoutReport> report TOVO_GUARDED_BY(lock);
    bool reportFresh TOVO_GUARDED_BY(lock) = false;  // a report came since the last statistics line
    std::optional<std::pair<StreamNetReport, double>> clientNet TOVO_GUARDED_BY(lock);
    std::optional<std::pair<StreamNetQuality, double>> quality TOVO_GUARDED_BY(lock);
    std::optional<StreamNetQuality::Grade> loggedGrade TOVO_GUARDED_BY(lock);
    std::optional<StreamAudioReport> audioWindow TOVO_GUARDED_BY(lock);
};

// The open flows by stream id. Its lock is never held together with a flow's.
//
// Threads: any. One per service.
class StreamFlowRegistry {
public:
    // 8 to 64 bytes of A–Z, a–z, 0–9, "_" and "-".
    static bool isValidID(std::string_view id);

    // Stores the flow under its id, replacing an older one.
    void add(const std::shared_ptr<StreamFlow>& flow);
    std::shared_ptr<StreamFlow> lookup(const std::string& id);
    // Removes the entry only when it is still this flow.
    void remove(const std::shared_ptr<StreamFlow>& flow);

private:
    Mutex lock;  // guards flows
    std::map<std::string, std::shared_ptr<StreamFlow>> flows TOVO_GUARDED_BY(lock);
};

// Bytes and sections sent over the last `span` seconds.
class StreamRateMeter {
public:
    explicit StreamRateMeter(double span = 10.0) : span(span) {}
    void add(size_t bytes, double at);
    // (bytes per second, sections per second)
    std::pair<double, double> rate(double at);

private:
    const double span;
    std::optional<double> startedAt;
    std::deque<std::pair<double, size_t>> samples;
};

}  // namespace tovo
