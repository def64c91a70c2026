#pragma once

#include "video/VideoCodec.h"

#include <functional>
#include <optional>
#include <set>

namespace tovo {

// Every constant of video streaming. Times are seconds, rates kbps unless named otherwise.
struct StreamTuning {
    int videoWindow = 4;          // smallest window of unacknowledged pictures
    int maxVideoWindow = 16;      // largest window
    double probeAfter = 1.0;      // a full window still sends one picture after this long
    double disableAfter = 3.0;    // no ack this long with pictures out switches the window off
    double reenableWithin = 1.0;  // an ack this quick switches it back on
    int maxReenables = 5;
    double keyMinInterval = 0.5;  // smallest gap between client-requested key frames
    int maxTracked = 64;          // outstanding entries kept while the window is off
    double minRTTWindow = 10.0;   // age limit of round-trip samples
    double srttGain = 0.125;
    double qdWindow = 1.0;  // span of samples for the queueing delay
    int qdMinSamples = 3;
    double congestedDelay = 0.05;
    double congestedHold = 0.5;
    double cleanDelay = 0.025;
    double increaseInterval = 0.5;
    double climbHold = 2.0;
    double ceilingHold = 30.0;
    double ceilingFactor = 0.9;
    double climbUtilization = 0.8;
    double utilizationWindow = 2.0;
    double decreaseFactor = 0.85;
    double increaseFactor = 1.1;
    double recoverFactor = 1.25;
    double keyGrace = 1.5;  // delay spikes this soon after a key frame are ignored
    int startKbps = 3500;
    int minKbps = 300;
    int maxKbps = 20000;
    std::optional<int> cellularMaxKbps;
    int constrainedMaxKbps = 2500;
    double holdBelowUtilization = 0.5;
    std::optional<int> requestMaxKbps;  // the client's own cap
    int maxFPS = 60;
    double keepalive = 5.0;
    double refineIdle = 0.3;
    int videoRefines = 2;
    int refineMinBitrate = 4000000;  // bits per second
    double cursorMinInterval = 1.0 / 60;
    int maxEncodeFailures = 3;
    double idleCheck = 0.25;

    // The defaults with TOVO_VIDEO_MAX_KBPS (`maxKbpsVariable`, may be null) applied.
    static StreamTuning fromEnvironment(const char* maxKbpsVariable);
    // This tuning with a client's bit-rate cap applied (none: unchanged).
    StreamTuning withClientCap(std::optional<int> capKbps) const;
};

// How this service streams: the tuning, the codecs it allows and the widest picture, as
// the environment sets them (TOVO_VIDEO_MAX_KBPS, TOVO_VIDEO_CODECS, TOVO_VIDEO_MAX_WIDTH).
struct StreamSettings {
    StreamTuning tuning;
    std::set<VideoCodec> codecs{VideoCodec::h264, VideoCodec::hevc};
    std::optional<int> maxWidth;  // TOVO_VIDEO_MAX_WIDTH, when set
    int maxWidthValue = 1600;     // its value, or the default

    // Reads the variables through `get` (getenv by default).
    static StreamSettings fromEnvironment(const std::function<const char*(const char*)>& get);
};

}  // namespace tovo
