#include "video/VideoStreamLoop.h"

#include "base/Log.h"
#include "base/StrictTiming.h"
#include "video/StreamCursor.h"
#include "video/VideoEncoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

namespace tovo {
namespace {

const char* partKind(PictureKind kind) {
    switch (kind) {
    case PictureKind::live: return "delta";
    case PictureKind::refine: return "refine";
    case PictureKind::keepalive: break;
    }
    return "keepalive";
}

// Counters of one statistics window.
struct VideoStreamWindow {
    int live = 0, refines = 0, keepalives = 0, keys = 0, drops = 0;
    std::optional<int> cursorParts;  // counted when the client draws the cursor
    std::vector<double> encodeMs;

    void count(PictureKind kind) {
        switch (kind) {
        case PictureKind::live: ++live; break;
        case PictureKind::refine: ++refines; break;
        case PictureKind::keepalive: ++keepalives; break;
        }
    }

    std::string line(double seconds) const {
        double mean = 0, worst = 0;
        for (double ms : encodeMs) {
            mean += ms;
            worst = std::max(worst, ms);
        }
        if (!encodeMs.empty()) mean /= static_cast<double>(encodeMs.size());
        char text[200];
        std::snprintf(
            text, sizeof(text),
            "sent %.1f pics/s (live %d refine %d keepalive %d key %d dropped %d); encode %.1f/%.1f ms (mean/max)",
            (live + refines + keepalives) / std::max(seconds, 0.001), live, refines, keepalives, keys, drops, mean,
            worst);
        std::string out = text;
        if (cursorParts) out += "; cursor parts " + std::to_string(*cursorParts);
        return out;
    }
};

// The steady-clock moment of `deadline` (monotonic seconds), at least 2 ms from `now`.
std::chrono::steady_clock::time_point steadyAt(double deadline, double now) {
    double left = std::clamp(deadline - now, 0.002, 3600.0);
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(left));
}

// The statistics of one stream: a log line (and `onStats`) every statsInterval.
class StreamStatistics {
public:
    StreamStatistics(const VideoStreamOptions& options, double now) : options(options), startedAt(now) {
        if (options.cursor) window.cursorParts = 0;
    }

    std::optional<double> due() const {
        if (!options.statsInterval) return std::nullopt;
        return startedAt + *options.statsInterval;
    }
    void emitIfDue(double now, VideoPictureSource& source, StreamFlow* flow) {
        if (!due() || now < *due()) return;
        double seconds = now - startedAt;
        auto activity = source.takeActivityWindow();
        auto [bytesPerSecond, partsPerSecond] = meter.rate(now);
        char head[64];
        std::snprintf(head, sizeof(head), " stats: last %.1f s capture ", seconds);
        std::string line = options.label + head + activity.line() + "; " + window.line(seconds);
        if (flow) {
            line += "; flow " + flow->summaryLine();
            if (auto tail = flow->takePhoneTail()) line += "; " + *tail;
        }
        log(line);
        if (options.onStats) {
            options.onStats({{"seconds", seconds},
                             {"capture", activity.json()},
                             {"live", window.live},
                             {"refines", window.refines},
                             {"keepalives", window.keepalives},
                             {"keys", window.keys},
                             {"drops", window.drops},
                             {"bytesPerSecond", bytesPerSecond},
                             {"partsPerSecond", partsPerSecond}});
        }
        window = {};
        if (options.cursor) window.cursorParts = 0;
        startedAt = now;
    }

    VideoStreamWindow window;
    StreamRateMeter meter;

private:
    const VideoStreamOptions& options;
    double startedAt;
};

}  // namespace

std::string videoStreamLabel(const std::optional<std::string>& streamID) {
    return "video: display stream" + (streamID ? " " + *streamID : std::string());
}

namespace {

// The turns of one stream: each asks the scheduler what to do, then waits, paces, or
// encodes and sends one picture. Lives on the stream's connection thread.
class VideoStreamTurns {
public:
    VideoStreamTurns(VideoPictureSource& source, StreamOutput& output, StreamFlowRegistry& flows,
                     const VideoStreamOptions& options)
        : source(source),
          output(output),
          flows(flows),
          options(options),
          tuning(options.tuning),
          clock(options.clock),
          encoder(options.codec, tuning.startKbps * 1000,
                  static_cast<int>(std::floor(1 / std::max(options.interval, 0.001))), options.makeSession),
          schedule(tuning, options.interval),
          stats(options, (source.takeActivityWindow(), clock())),
          cursorPacer(tuning.cursorMinInterval) {
        if (options.streamID) {
            flow = std::make_shared<StreamFlow>(*options.streamID, options.label,
                                                StreamFlowController(tuning, options.interval), clock,
                                                [&source] { source.wake(); });
            flow->start();
            flows.add(flow);
        }
    }

    ~VideoStreamTurns() {
        if (!flow) return;
        flows.remove(flow);
        flow->finish();
    }

    void run() {
        for (;;) {
            bool over = output.ended() || source.isStopped();
            uint64_t changes = source.changes();
            double now = clock();
            stats.emitIfDue(now, source, flow.get());
            cursorDue.reset();
            if (!over && !sendCursorPart(now)) return;

            StreamScheduler::Inputs in = inputs(over, now);
            auto picture = source.latest();
            if (picture) in.picture = picture->seq;

            auto decision = schedule.next(in, now);
            switch (decision.kind) {
            case StreamScheduler::Decision::Kind::end: return;
            case StreamScheduler::Decision::Kind::wait:
                source.waitForPicture(changes,
                                      steadyAt(std::min(decision.until, cursorDue.value_or(decision.until)), now));
                continue;
            case StreamScheduler::Decision::Kind::pace:
                StrictTiming::sleep(decision.until - now);
                pacedTo = decision.until;
                continue;
            case StreamScheduler::Decision::Kind::send: break;
            }
            if (heldByWindow(*picture, in, changes, now)) continue;
            if (!encodeAndSend(*picture, decision, now)) return;
        }
    }

private:
    // The client-drawn cursor goes between pictures; an early part shortens the wait.
    // False when the write failed.
    bool sendCursorPart(double now) {
        if (!options.cursor) return true;
        auto [cursor, shape] = options.cursor->current();
        auto next = cursorPacer.next(cursor, shape, now);
        if (next.body) {
            if (!output.sendCursor(*next.body)) return false;
            ++*stats.window.cursorParts;
        }
        cursorDue = next.wakeAt;
        return true;
    }

    // What the scheduler weighs this turn; the flow's new rate is applied on the way.
    StreamScheduler::Inputs inputs(bool over, double now) {
        StreamScheduler::Inputs in;
        in.over = over;
        in.statsDue = stats.due();
        if (!flow) return in;
        auto state = flow->poll(now);
        if (state.bitrateKbps) {
            int bps = std::max(*state.bitrateKbps * 1000, VideoEncoder::minimumBitrate);
            if (bps != encoder.bitrate()) encoder.setBitrate(bps);
        }
        in.keyRequested = state.keyRequested;
        in.stallDeadline = state.stallDeadline;
        return in;
    }

    // When the flow's window holds the picture back, waits until the probe time, an ack
    // (the flow wakes the source), the stall check or the statistics, and returns true. The
    // picture's own deadlines may already have passed.
    bool heldByWindow(const VideoPicture& picture, const StreamScheduler::Inputs& in, uint64_t changes, double now) {
        if (!flow) return false;
        auto gate = flow->gate(now, picture.seq);
        if (gate.kind != StreamFlowGate::Kind::wait) return false;
        double until = gate.until;
        if (in.stallDeadline) until = std::min(until, *in.stallDeadline);
        if (in.statsDue) until = std::min(until, *in.statsDue);
        if (cursorDue) until = std::min(until, *cursorDue);
        source.waitForPicture(changes, steadyAt(until, now));
        return true;
    }

    // A refine on a clear path gets a generous rate for this one picture: the rate to
    // restore afterwards, or 0.
    int boostForRefine() {
        StreamFlow::RefineRoom room{std::nullopt, tuning.maxKbps};
        if (flow) room = flow->refineRoom();
        if (room.queueDelay && *room.queueDelay > tuning.congestedDelay) return 0;
        int boosted = static_cast<int>(
            std::min(room.capKbps * 1000.0, std::max<double>(tuning.refineMinBitrate, 2.0 * encoder.bitrate())));
        if (boosted <= encoder.bitrate()) return 0;
        int restore = encoder.bitrate();
        encoder.setBitrate(boosted);
        return restore;
    }

    // The moment this encode counts from. A start that waited for its pace counts from the
    // moment it was allowed, not from when this thread woke up after it: otherwise every
    // wake-up delay would push all later pictures back, and the stream would fall below
    // its frame rate.
    double encodeStart(double now) {
        double startedAt = now;
        const bool paced = pacedTo && now >= *pacedTo && now - *pacedTo < options.interval / 2;
        if (paced) startedAt = *pacedTo;
        pacedTo.reset();
        return startedAt;
    }

    // False when the stream must end (the write failed, or the encoder failed too often).
    bool encodeAndSend(const VideoPicture& picture, const StreamScheduler::Decision& decision, double now) {
        int restoreBitrate = decision.picture == PictureKind::refine ? boostForRefine() : 0;
        double startedAt = encodeStart(now);
        schedule.encodeStarted(startedAt);
        source.encodeStarted(std::chrono::steady_clock::now() -
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(clock() - startedAt)));
        auto started = std::chrono::steady_clock::now();
        auto result = encoder.encodeFrame(picture, now, decision.key);
        double encodeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        if (restoreBitrate) encoder.setBitrate(restoreBitrate);

        if (result.kind == VideoEncodeResult::Kind::dropped) {
            ++stats.window.drops;
            return true;
        }
        if (result.kind == VideoEncodeResult::Kind::failed) {
            if (!schedule.failed()) return true;
            log(options.label + ": " + toString(options.codec) + " failed " + std::to_string(schedule.failures()) +
                "x in a row; ending the stream (the client reopens)");
            return false;
        }

        const auto& unit = result.unit;
        stats.window.encodeMs.push_back(encodeMs);
        auto seq = output.sendPicture(unit, options.codec, picture.at, unit.isKey ? "key" : partKind(decision.picture));
        if (!seq) return false;
        double sentAt = clock();
        if (flow) flow->sent(*seq, now, static_cast<int64_t>(unit.data.size()), unit.isKey);
        stats.meter.add(unit.data.size(), sentAt);
        if (unit.isKey) ++stats.window.keys;
        stats.window.count(decision.picture);
        schedule.sent(decision.picture, unit.isKey, picture.seq, now, sentAt);
        return true;
    }

    VideoPictureSource& source;
    StreamOutput& output;
    StreamFlowRegistry& flows;
    const VideoStreamOptions& options;
    const StreamTuning& tuning;
    const MonotonicClock& clock;
    VideoEncoder encoder;
    StreamScheduler schedule;
    StreamStatistics stats;
    StreamCursorPacer cursorPacer;
    std::shared_ptr<StreamFlow> flow;
    std::optional<double> pacedTo;    // the moment the last pace sleep waited for
    std::optional<double> cursorDue;  // when the cursor's next part is due, this turn
};

}  // namespace

void videoStreamLoop(VideoPictureSource& source, StreamOutput& output, StreamFlowRegistry& flows,
                     const VideoStreamOptions& options) {
    VideoStreamTurns(source, output, flows, options).run();
}

}  // namespace tovo
