#pragma once

#include "video/StreamReports.h"
#include "video/StreamTuning.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

struct StreamFlowAction {
    enum class Kind { bitrate, resolution };
    Kind kind;
    int value;  // kbps, or an index into the width steps
    bool operator==(const StreamFlowAction&) const = default;
};

// A bit-rate cap chosen from the client's network kind.
struct StreamNetProfile {
    std::string name;  // "wifi", "cellular", "constrained", "test"
    int maxKbps = 0;
    bool operator==(const StreamNetProfile&) const = default;

    static StreamNetProfile choose(const std::optional<StreamNetReport>& client, const StreamTuning& tuning);
};

// What the window lets happen at one moment.
struct StreamFlowGate {
    enum class Kind { go, probe, wait };
    Kind kind = Kind::go;
    double until = 0;  // for wait
};

// Window, delay-based rate control and key requests of one stream: a plain value fed with
// times in monotonic seconds, so that it runs the same in tests and on the wire. Not
// thread-safe; StreamFlow guards it.
struct StreamFlowController {
    struct Outstanding {
        uint64_t seq;
        double sentAt;
    };
    struct Sample {
        double at;
        double value;
    };
    struct Ceiling {
        int kbps;
        double until;
    };

    StreamFlowController(StreamTuning tuning, std::vector<int> widths, std::optional<double> frameInterval);

    StreamTuning tuning;
    std::vector<int> widths;  // resolution steps, largest first
    int bitrateKbps;
    int resolutionIndex = 0;
    bool acksStarted = false;
    bool disabled = false;  // the window was switched off
    int reenables = 0;
    std::deque<Outstanding> outstanding;
    uint64_t lastAckSeq = 0, lastSentSeq = 0;
    std::optional<double> lastAckAt, lastPictureAt, srtt, latestRTT;
    std::deque<Sample> rttSamples;
    std::optional<double> congestedSince, cleanSince, lastIncreaseAt, lastDecreaseAt, lastResolutionChangeAt;
    std::optional<Ceiling> ceiling;
    std::optional<StreamNetProfile> profile;
    std::deque<Sample> sentBytes;
    std::optional<double> lastSampleAt;
    std::optional<double> lastKeyAt;
    std::optional<double> frameInterval;

    // What happened over the stream's life, for its statistics.
    struct Counters {
        int windowLimited = 0, heldSteps = 0, probes = 0, keyRequests = 0, decreases = 0, increases = 0, climbs = 0,
            acks = 0;
    };
    const Counters& counters() const { return counts; }
    // A client asked for a key frame that has not gone out yet.
    bool keyPending() const { return keyWanted; }

    // The window limits pictures once acks came and while it is not switched off.
    bool windowActive() const { return acksStarted && !disabled; }
    int window() const;
    std::optional<double> minRTT() const;
    std::optional<double> queueDelayMin() const;
    // Whether picture `pictureSeq` of the source may go out at `at`. A picture held back by
    // the window counts once as window-limited, however often it is asked about.
    StreamFlowGate gate(double at, uint64_t pictureSeq);
    // True when this call switched the window off for want of acks.
    bool checkStall(double at);
    std::optional<double> stallDeadline() const;
    void pictureSent(uint64_t seq, double at, std::optional<int64_t> bytes);
    // An acknowledgement of section `seq`; a repeated or older one still asks for a key
    // frame but changes nothing else.
    std::vector<StreamFlowAction> onAck(uint64_t seq, bool keyframe, double at);
    std::vector<StreamFlowAction> rttSample(double rtt, double at);
    std::vector<StreamFlowAction> apply(const StreamNetProfile& profile);
    double sentKbps(double at) const;
    bool contentLimited(double at) const;
    // The cap in force at `at`: max, the profile's cap, the ceiling while it lasts.
    int limitKbps(double at) const;
    std::optional<StreamRTTSummary> rttSummary(double at, double window) const;
    // A key frame went out at `at`: a pending request is served.
    void keySent(double at);

private:
    StreamFlowGate gateAt(double at);
    bool switchOffIfStalled(double at);

    Counters counts;
    bool keyWanted = false;
    std::optional<double> lastWindowLimitedAt;
    std::optional<uint64_t> limitedPicture;  // the picture last counted as window-limited
    std::optional<int> increase(double cleanSince, double at);
    std::vector<StreamFlowAction> decrease(double at);
};

}  // namespace tovo
