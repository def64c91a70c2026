#pragma once

#include "video/StreamTuning.h"

#include <cstdint>
#include <optional>

namespace tovo {

// What a stream turn sends: a new picture, a sharper copy of the last one, or the last one
// again to show the stream is alive.
enum class PictureKind { live, refine, keepalive };

// The timing rules of one video stream as a plain value: from the time and what the loop
// knows to the next step. Times are monotonic seconds. Not thread-safe; the loop owns it.
class StreamScheduler {
public:
    struct Inputs {
        bool over = false;                    // the peer went away or the source stopped
        std::optional<uint64_t> picture;      // the source's newest picture, if any
        bool keyRequested = false;            // the client asked for a key frame
        std::optional<double> stallDeadline;  // when the flow's stall check is due
        std::optional<double> statsDue;       // when the next statistics are due
    };
    struct Decision {
        enum class Kind {
            end,   // the stream is over
            wait,  // wait for a new picture until `until`
            pace,  // a new picture is there but the frame interval has not passed: sleep to `until`
            send,  // encode and send `picture` now
        };
        Kind kind = Kind::wait;
        PictureKind picture = PictureKind::live;
        bool key = false;  // the picture must be a key frame
        double until = 0;
    };

    StreamScheduler(StreamTuning tuning, double interval);

    Decision next(const Inputs& in, double now) const;
    // The encoder was asked for a picture of `pictureSeq` at `now`.
    void encodeStarted(double now) { lastEncodeStart = now; }
    // A section went out at `sentAt` for a turn that began at `startedAt`.
    void sent(PictureKind kind, bool key, uint64_t pictureSeq, double startedAt, double sentAt);
    // The encoder failed; true when it failed too often in a row and the stream must end.
    // The next picture is a key frame.
    bool failed();
    int failures() const { return failuresInRow; }

    const StreamTuning tuning;
    const double interval;  // seconds between live pictures

private:
    static constexpr double never = -1e300;
    uint64_t lastPictureSent = 0;  // the source's picture last sent live
    bool anySent = false;
    int refinesLeft = 0;
    bool forceKey = true;  // the first picture is a key frame
    double lastEncodeStart = never, lastSend = never, lastKeyAt = never;
    int failuresInRow = 0;
};

}  // namespace tovo
