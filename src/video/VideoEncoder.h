#pragma once

#include "base/Mutex.h"
#include "capture/VideoPictureSource.h"
#include "video/AccessUnit.h"
#include "video/EncoderSession.h"
#include "video/VideoCodec.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace tovo {

// The outcome of one encodeFrame.
struct VideoEncodeResult {
    enum class Kind { unit, dropped, failed };
    Kind kind = Kind::failed;
    VideoAccessUnit unit;  // for Kind::unit
};

// Turns BGRX pictures into H.264/HEVC access units, one picture at a time: encodeFrame
// returns only when that picture's output is there (or it failed). The session is made on
// the first picture, remade when the size changes or after any failure, and dropped with
// the encoder.
//
// Threads: one caller at a time (the stream loop). The process-wide probe and calibration
// answers are computed once under their own locks.
class VideoEncoder {
public:
    struct Timing {
        double submitMs = 0;   // in the submit call (conversion and encode)
        double waitMs = 0;     // from submit's return to having the output
        double packMs = 0;     // building the access unit
        bool flushed = false;  // the encoder had to be made to give out the picture
    };

    static constexpr int minimumBitrate = 50000;
    static constexpr int minimumSide = 16;

    VideoEncoder(VideoCodec codec, int bitrate, int expectedFrameRate, EncoderSessionFactory makeSession);
    ~VideoEncoder();

    // `time` in seconds (monotonic). The session answers within the call.
    VideoEncodeResult encodeFrame(const VideoPicture& picture, double time, bool forceKey);
    // The unit, or nothing when the frame was dropped or failed.
    std::optional<VideoAccessUnit> encode(const VideoPicture& picture, double time, bool forceKey);

    // At least 50000; applied to the running session at once. A session that cannot change
    // its rate is rebuilt on the next picture when the rate went down, and otherwise on the
    // next key frame, so that raising the rate never costs a key frame of its own.
    void setBitrate(int bps);
    int bitrate() const { return targetBitrate; }
    // Drops the session; the next picture makes a new one.
    void invalidate();
    std::pair<int, int> size() const { return {width, height}; }

    const VideoCodec codec;
    const int expectedFrameRate;
    std::optional<bool> isHardware;
    std::optional<std::string> encoderID;
    int sessionsCreated = 0;
    int flushes = 0;
    int drops = 0;
    Timing lastTiming;

    // The probe and the calibration on a given session factory, uncached.
    static bool probe(VideoCodec codec, const EncoderSessionFactory& makeSession);
    static bool calibrate(VideoCodec codec, const EncoderSessionFactory& makeSession);

private:
    bool ensureSession(int w, int h);

    const EncoderSessionFactory makeSession;
    std::unique_ptr<EncoderSession> session;
    int targetBitrate;
    int sessionBitrate = 0;  // the rate the session runs at (below target: it could not change)
    int width = 0;
    int height = 0;
    std::optional<int64_t> lastPTS;  // microseconds
};

// What this machine's encoders can do, each answer measured once and kept.
//
// Threads: any; each answer is computed under the lock, so concurrent askers wait for it.
// The calibration thread is joined by the destructor.
class EncoderCapabilities {
public:
    explicit EncoderCapabilities(EncoderSessionFactory makeSession);
    ~EncoderCapabilities();

    // Whether `codec` can be encoded at all.
    bool isAvailable(VideoCodec codec);
    // Whether pictures above 1080p's area are relatively cheap to encode here (false when
    // the codec is unavailable).
    bool prefersAbove1080p(VideoCodec codec);
    // Answers both for h264 then hevc on a thread of its own, so the first stream does not
    // pay for them.
    void calibrateInBackground();

    const EncoderSessionFactory makeSession;

private:
    Mutex lock;  // guards both maps; held while one answer is computed
    std::map<VideoCodec, bool> available TOVO_GUARDED_BY(lock);
    std::map<VideoCodec, bool> above1080p TOVO_GUARDED_BY(lock);
    std::thread calibration;  // touched by calibrateInBackground and the destructor
};

// Fills a BGRX picture with the text-like calibration page, starting `shift` rows into it.
void fillCalibrationPicture(uint8_t* pixels, int width, int height, int stride, int shift);

}  // namespace tovo
