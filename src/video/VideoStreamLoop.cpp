#include "video/VideoStreamLoop.h"

#include "base/Clock.h"
#include "base/StrictTiming.h"
#include "service/ScreenHost.h"
#include "video/StreamFlow.h"
#include "video/StreamRequest.h"
#include "video/VideoEncoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

namespace tovo {
namespace {

constexpr double never = INFINITY;
constexpr double encodeTimeout = 0.5;

enum class PictureKind { live, refine, keepalive };

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
    std::vector<double> encodeMs;

    std::string line(double seconds) const {
        double mean = 0, worst = 0;
        for (double ms : encodeMs) {
            mean += ms;
            worst = std::max(worst, ms);
        }
        if (!encodeMs.empty()) mean /= static_cast<double>(encodeMs.size());
        char text[200];
        std::snprintf(text, sizeof(text),
                      "sent %.1f pics/s (live %d refine %d keepalive %d key %d dropped %d); encode %.1f/%.1f ms (mean/max)",
                      (live + refines + keepalives) / std::max(seconds, 0.001), live, refines, keepalives, keys, drops,
                      mean, worst);
        return text;
    }
};

std::chrono::steady_clock::time_point steadyAt(double deadline, double now) {
    double left = std::clamp(deadline - now, 0.0, 3600.0);
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(left));
}

}  // namespace

std::string videoStreamLabel(const std::optional<std::string>& streamID) {
    return "video: display stream" + (streamID ? " " + *streamID : std::string());
}

void videoStreamLoop(VideoPictureSource& source, Connection& connection, const VideoStreamOptions& options) {
    const auto& tuning = options.tuning;
    VideoEncoder encoder(options.codec, tuning.startKbps * 1000,
                         static_cast<int>(std::floor(1 / std::max(options.interval, 0.001))), options.makeSession);

    std::shared_ptr<StreamFlow> flow;
    if (options.streamID) {
        flow = std::make_shared<StreamFlow>(*options.streamID, options.label,
                                            StreamFlowController(tuning, {}, options.interval), monotonicSeconds,
                                            [&source] { source.wake(); });
        flow->start();
        StreamFlowRegistry::shared().add(flow);
    }
    // Cursor sections for clients that draw the pointer join here, with the pointer feed.

    source.takeActivityWindow();
    VideoStreamWindow window;
    StreamRateMeter meter;
    double statsAt = monotonicSeconds();
    double windowStart = statsAt;

    uint64_t lastPictureSent = 0;  // sequence number of the source's picture last sent live
    bool anySent = false;
    int refinesLeft = 0;
    bool forceKey = true;  // the first picture is a key frame
    double lastEncodeStart = -never, lastSend = -never, lastKeyAt = -never;
    int failures = 0;
    uint64_t limitedPicture = 0;  // the picture last counted as window-limited

    auto wait = [&](uint64_t changes, double deadline, double now) {
        source.waitForPicture(changes, steadyAt(std::max(deadline, now + 0.002), now));
    };

    for (;;) {
        // Ended by the server, refused by the status feed, or the peer hung up.
        if (connection.peerClosed()) break;
        if (source.isStopped()) break;

        uint64_t changes = source.changes();
        double now = monotonicSeconds();

        if (options.statsInterval && now - statsAt >= *options.statsInterval) {
            double seconds = now - windowStart;
            auto activity = source.takeActivityWindow();
            auto [bytesPerSecond, partsPerSecond] = meter.rate(now);
            char head[64];
            std::snprintf(head, sizeof(head), " stats: last %.1f s capture ", seconds);
            std::string line = options.label + head + activity.line() + "; " + window.line(seconds);
            if (flow) {
                line += "; flow " + flow->summaryLine();
                if (auto tail = flow->takePhoneTail()) line += "; " + *tail;
            }
            ScreenHost::logSink(line);
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
            statsAt = windowStart = now;
        }

        bool keyRequested = false;
        std::optional<double> stallDeadline;
        if (flow) {
            for (const auto& action : flow->takePending()) {
                if (action.kind != StreamFlowAction::Kind::bitrate) continue;
                int bps = std::max(action.value * 1000, VideoEncoder::minimumBitrate);
                if (bps != encoder.bitrate()) encoder.setBitrate(bps);
            }
            bool stalled = false;
            flow->withController([&](StreamFlowController& c) {
                stalled = c.checkStall(now);
                keyRequested = c.keyPending;
                stallDeadline = c.stallDeadline();
            });
            if (stalled) {
                ScreenHost::logSink(options.label + ": no ack for " +
                                    std::to_string(static_cast<int>(tuning.disableAfter)) +
                                    " s; flow-control window off for this stream");
            }
        }
        bool keyDue = forceKey || (keyRequested && now - lastKeyAt >= tuning.keyMinInterval);

        // The earliest moment something is due, for waiting.
        double deadline = anySent ? lastSend + tuning.keepalive : now + tuning.idleCheck;
        if (refinesLeft > 0) deadline = std::min(deadline, lastSend + tuning.refineIdle);
        if (keyRequested && !keyDue) deadline = std::min(deadline, lastKeyAt + tuning.keyMinInterval);
        if (stallDeadline) deadline = std::min(deadline, *stallDeadline);
        if (options.statsInterval) deadline = std::min(deadline, statsAt + *options.statsInterval);

        auto picture = source.latest();
        if (!picture) {
            wait(changes, std::min(deadline, now + tuning.idleCheck), now);
            continue;
        }

        PictureKind kind;
        if (picture->seq != lastPictureSent || keyDue) {
            if (now - lastEncodeStart < options.interval) {
                StrictTiming::sleep(lastEncodeStart + options.interval - now);
                continue;
            }
            kind = PictureKind::live;
        } else if (refinesLeft > 0 && now - lastSend >= tuning.refineIdle) {
            kind = PictureKind::refine;
        } else if (now - lastSend >= tuning.keepalive) {
            kind = PictureKind::keepalive;
        } else {
            wait(changes, deadline, now);
            continue;
        }

        double cap = tuning.maxKbps;
        std::optional<double> queueDelay;
        if (flow) {
            auto gate = flow->withController([&](StreamFlowController& c) {
                auto g = c.gate(now);
                if (g.kind == StreamFlowGate::Kind::wait && picture->seq != limitedPicture) {
                    ++c.windowLimitedCount;
                    c.lastWindowLimitedAt = now;
                } else if (g.kind == StreamFlowGate::Kind::probe) {
                    ++c.probes;
                }
                queueDelay = c.queueDelayMin();
                if (c.profile) cap = std::min(cap, static_cast<double>(c.profile->maxKbps));
                return g;
            });
            if (gate.kind == StreamFlowGate::Kind::wait) {
                // Until the probe time, an ack (the flow wakes the source), the stall check or
                // the statistics; the picture's own deadlines may already have passed.
                limitedPicture = picture->seq;
                double until = gate.until;
                if (stallDeadline) until = std::min(until, *stallDeadline);
                if (options.statsInterval) until = std::min(until, statsAt + *options.statsInterval);
                wait(changes, until, now);
                continue;
            }
        }

        // A refine on a clear path gets a generous rate for this one picture.
        int restoreBitrate = 0;
        if (kind == PictureKind::refine && (!queueDelay || *queueDelay <= tuning.congestedDelay)) {
            int boosted = static_cast<int>(std::min(cap * 1000, std::max<double>(tuning.refineMinBitrate, 2.0 * encoder.bitrate())));
            if (boosted > encoder.bitrate()) {
                restoreBitrate = encoder.bitrate();
                encoder.setBitrate(boosted);
            }
        }
        lastEncodeStart = now;
        auto started = std::chrono::steady_clock::now();
        auto result = encoder.encodeFrame(*picture, now, keyDue, encodeTimeout);
        double encodeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        if (restoreBitrate) encoder.setBitrate(restoreBitrate);

        if (result.kind == VideoEncodeResult::Kind::dropped) {
            ++window.drops;
            continue;
        }
        if (result.kind == VideoEncodeResult::Kind::failed) {
            if (++failures >= tuning.maxEncodeFailures) {
                ScreenHost::logSink(options.label + ": " + toString(options.codec) + " failed " + std::to_string(failures) +
                                    "x in a row; ending the stream (the client reopens)");
                break;
            }
            forceKey = true;
            continue;
        }

        const auto& unit = result.unit;
        window.encodeMs.push_back(encodeMs);
        uint64_t seq = ++connection.partSeq;
        std::string kindName = unit.isKey ? "key" : partKind(kind);
        if (!connection.transport->send(streamPart(contentType(options.codec), unit.data, std::make_pair(unit.width, unit.height),
                                                   seq, picture->at, kindName, std::string(toString(options.codec)),
                                                   connection.wire.boundary))) {
            break;
        }
        double sentAt = monotonicSeconds();
        if (flow) {
            flow->withController([&](StreamFlowController& c) {
                c.pictureSent(seq, now, static_cast<int64_t>(unit.data.size()));
                if (unit.isKey) c.keySent(now);
            });
        }
        meter.add(unit.data.size(), sentAt);
        if (unit.isKey) {
            ++window.keys;
            forceKey = false;
            lastKeyAt = now;
        }
        switch (kind) {
        case PictureKind::live:
            ++window.live;
            lastPictureSent = picture->seq;
            refinesLeft = tuning.videoRefines;
            break;
        case PictureKind::refine:
            ++window.refines;
            --refinesLeft;
            break;
        case PictureKind::keepalive:
            ++window.keepalives;
            break;
        }
        failures = 0;
        anySent = true;
        lastSend = sentAt;
    }

    if (flow) {
        StreamFlowRegistry::shared().remove(flow);
        flow->finish();
    }
}

}  // namespace tovo
