#pragma once

#include "video/StreamReports.h"
#include "video/StreamTuning.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace tovo {

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
//
// Calls that may change the rate return the new rate in kbps when they changed it. The
// rate stays within [minKbps, the cap in force when it last rose].
class StreamFlowController {
public:
    struct Ceiling {
        int kbps;
        double until;
    };
    // What happened over the stream's life, for its statistics.
    struct Counters {
        int windowLimited = 0, heldSteps = 0, probes = 0, keyRequests = 0, decreases = 0, increases = 0, climbs = 0,
            acks = 0;
    };

    StreamFlowController(StreamTuning tuning, std::optional<double> frameInterval);

    const StreamTuning& tuning() const { return tune; }
    int bitrateKbps() const { return rate.kbps; }
    const std::optional<StreamNetProfile>& profile() const { return rate.profile; }
    const std::optional<Ceiling>& ceiling() const { return rate.ceiling; }
    const Counters& counters() const { return counts; }
    // A client asked for a key frame that has not gone out yet.
    bool keyPending() const { return keyWanted; }

    // The window limits pictures once acks came and while it is not switched off.
    bool windowActive() const { return flight.acksStarted && !flight.off; }
    // Switched off for want of acks; how often it came back on.
    bool windowOff() const { return flight.off; }
    int reenables() const { return flight.reenables; }
    bool acksStarted() const { return flight.acksStarted; }
    size_t inFlight() const { return flight.outstanding.size(); }
    uint64_t lastSentSeq() const { return flight.lastSentSeq; }
    std::optional<double> lastAckAt() const { return flight.lastAckAt; }
    std::optional<double> lastPictureAt() const { return flight.lastPictureAt; }
    int window() const;

    std::optional<double> minRTT() const;
    std::optional<double> smoothedRTT() const { return trips.smoothed; }
    std::optional<double> latestRTT() const { return trips.latest; }
    std::optional<double> queueDelayMin() const;
    std::optional<StreamRTTSummary> rttSummary(double at, double window) const;

    // Whether picture `pictureSeq` of the source may go out at `at`. A picture held back by
    // the window counts once as window-limited, however often it is asked about.
    StreamFlowGate gate(double at, uint64_t pictureSeq);
    // True when this call switched the window off for want of acks.
    bool checkStall(double at);
    std::optional<double> stallDeadline() const;
    void pictureSent(uint64_t seq, double at, std::optional<int64_t> bytes);
    // A key frame went out at `at`: a pending request is served.
    void keySent(double at);
    // An acknowledgement of section `seq`; a repeated or older one still asks for a key
    // frame but changes nothing else.
    std::optional<int> onAck(uint64_t seq, bool keyframe, double at);
    std::optional<int> rttSample(double rtt, double at);
    std::optional<int> apply(const StreamNetProfile& profile);
    // Sets the rate as if the controller had reached it (tests start from a given rate).
    void setBitrateKbps(int kbps) { rate.kbps = kbps; }

    double sentKbps(double at) const;
    bool contentLimited(double at) const;
    // The cap in force at `at`: max, the profile's cap, the ceiling while it lasts.
    int limitKbps(double at) const;

private:
    struct Sample {
        double at;
        double value;
    };
    struct Outstanding {
        uint64_t seq;
        double sentAt;
    };
    // Pictures in flight and the acks that clear them. `outstanding` is in send order; while
    // the window is inactive it keeps at most maxTracked entries.
    struct Flight {
        bool acksStarted = false;
        bool off = false;
        int reenables = 0;  // at most maxReenables
        std::deque<Outstanding> outstanding;
        uint64_t lastAckSeq = 0, lastSentSeq = 0;
        std::optional<double> lastAckAt, lastPictureAt;
    };
    // Round trips measured from acks, the newest last, none older than minRTTWindow.
    struct RoundTrips {
        std::deque<Sample> samples;
        std::optional<double> smoothed, latest, lastAt;
    };
    // The rate and what moves it.
    struct Rate {
        int kbps;
        std::optional<double> congestedSince, cleanSince, lastIncreaseAt, lastDecreaseAt, lastKeyAt;
        std::optional<Ceiling> ceiling;
        std::optional<StreamNetProfile> profile;
        std::deque<Sample> sentBytes;  // none older than utilizationWindow
    };

    StreamFlowGate gateAt(double at);
    bool switchOffIfStalled(double at);
    std::optional<int> increase(double cleanSince, double at);
    std::optional<int> decrease(double at);

    StreamTuning tune;
    std::optional<double> frameInterval;
    Flight flight;
    RoundTrips trips;
    Rate rate;
    Counters counts;
    bool keyWanted = false;
    std::optional<double> lastWindowLimitedAt;
    std::optional<uint64_t> limitedPicture;  // the picture last counted as window-limited
};

}  // namespace tovo
