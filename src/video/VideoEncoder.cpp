#include "video/VideoEncoder.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tovo {
namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

VideoPicture solidPicture(int width, int height, uint8_t byte) {
    auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4, byte);
    return VideoPicture{pixels, width, height, width * 4, 0, 0};
}

std::optional<double> median(std::vector<double> values) {
    if (values.size() < 3) return std::nullopt;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Median encode time of the calibration page at one size, over frames 3…8.
std::optional<double> calibrationMedian(VideoCodec codec, const EncoderSessionFactory& makeSession, int width,
                                        int height) {
    VideoEncoder encoder(codec, 2500000, 30, makeSession);
    std::vector<double> samples;
    for (int i = 0; i < 9; ++i) {
        auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
        fillCalibrationPicture(pixels->data(), width, height, width * 4, 12 * i);
        VideoPicture picture{pixels, width, height, width * 4, 0, 0};
        auto start = std::chrono::steady_clock::now();
        auto result = encoder.encodeFrame(picture, i / 30.0, false);
        double ms = millisecondsSince(start);
        if (result.kind == VideoEncodeResult::Kind::failed && encoder.sessionsCreated == 0) return std::nullopt;
        if (i > 2 && result.kind == VideoEncodeResult::Kind::unit) samples.push_back(ms);
    }
    return median(samples);
}

}  // namespace

VideoEncoder::VideoEncoder(VideoCodec codec, int bitrate, int expectedFrameRate, EncoderSessionFactory makeSession)
    : codec(codec),
      expectedFrameRate(expectedFrameRate),
      makeSession(std::move(makeSession)),
      targetBitrate(std::max(bitrate, minimumBitrate)) {}

VideoEncoder::~VideoEncoder() = default;

bool VideoEncoder::ensureSession(int w, int h) {
    if (session && w == width && h == height) return true;
    invalidate();
    if (w < minimumSide || h < minimumSide) return false;
    std::string error;
    session = makeSession(EncoderSessionConfig{codec, w, h, targetBitrate, expectedFrameRate, {}}, error);
    if (!session) {
        log(std::string("video: ") + toString(codec) + " low-latency session create failed (" + error + ") at " +
            std::to_string(w) + "x" + std::to_string(h));
        return false;
    }
    width = w;
    height = h;
    sessionBitrate = targetBitrate;
    ++sessionsCreated;
    encoderID = session->encoderID();
    isHardware = session->isHardware();
    return true;
}

VideoEncodeResult VideoEncoder::encodeFrame(const VideoPicture& picture, double time, bool forceKey) {
    using Kind = VideoEncodeResult::Kind;
    // A session stuck at an older rate is remade for a key frame anyway, or when the rate
    // must come down; a raised rate waits for the next key so that it costs no extra key.
    if (session && targetBitrate != sessionBitrate && (forceKey || targetBitrate < sessionBitrate)) invalidate();
    if (!ensureSession(picture.width, picture.height)) return {};

    auto pts = static_cast<int64_t>(std::llround(time * 1e6));
    if (lastPTS && pts <= *lastPTS) pts = *lastPTS + 1;
    lastPTS = pts;

    lastTiming = Timing{};
    auto start = std::chrono::steady_clock::now();
    int status = session->submit(picture, pts, forceKey);
    lastTiming.submitMs = millisecondsSince(start);
    if (status != 0) {
        log(std::string("video: ") + toString(codec) + " encode failed (" + std::to_string(status) +
            "); rebuilding the session");
        invalidate();
        return {};
    }

    auto submitted = std::chrono::steady_clock::now();
    EncoderOutput out = session->receive();
    bool drained = false;
    if (out.status == EncoderOutput::Status::pending) {
        // The encoder held the picture back: make it give the picture out. A drained session
        // takes no more pictures, so the next frame makes a new one.
        ++flushes;
        lastTiming.flushed = true;
        out = session->flush();
        drained = true;
    }
    lastTiming.waitMs = millisecondsSince(submitted);

    VideoEncodeResult result;
    if (out.status == EncoderOutput::Status::dropped) {
        ++drops;
        result.kind = Kind::dropped;
    } else if (out.status == EncoderOutput::Status::unit) {
        auto packStart = std::chrono::steady_clock::now();
        auto packed = packAccessUnit(codec, out.data, out.isKey, out.isKey ? session->parameterSets() : std::string());
        lastTiming.packMs = millisecondsSince(packStart);
        if (packed) {
            result.kind = Kind::unit;
            result.unit = VideoAccessUnit{std::move(*packed), out.isKey, picture.width, picture.height};
        }
    }
    if (result.kind == Kind::failed) {
        const char* suffix = out.status == EncoderOutput::Status::pending ? " (timeout)" : "";
        log(std::string("video: ") + toString(codec) + " produced no output for a frame" + suffix +
            "; rebuilding the session");
        invalidate();
    } else if (drained) {
        invalidate();
    }
    return result;
}

std::optional<VideoAccessUnit> VideoEncoder::encode(const VideoPicture& picture, double time, bool forceKey) {
    auto result = encodeFrame(picture, time, forceKey);
    if (result.kind != VideoEncodeResult::Kind::unit) return std::nullopt;
    return std::move(result.unit);
}

void VideoEncoder::setBitrate(int bps) {
    int value = std::max(bps, minimumBitrate);
    if (value == targetBitrate) return;
    targetBitrate = value;
    if (!session) return;
    if (session->setBitrate(value)) sessionBitrate = value;
}

void VideoEncoder::invalidate() {
    session.reset();
    width = height = 0;
    sessionBitrate = 0;
    lastPTS.reset();
}

bool VideoEncoder::probe(VideoCodec codec, const EncoderSessionFactory& makeSession) {
    VideoEncoder encoder(codec, 1000000, 30, makeSession);
    auto result = encoder.encodeFrame(solidPicture(640, 360, 0x40), 0, true);
    bool available = result.kind == VideoEncodeResult::Kind::unit && result.unit.isKey;
    std::string hardware = encoder.isHardware ? (*encoder.isHardware ? "true" : "false") : "?";
    log(std::string("video: ") + toString(codec) + (available ? " available" : " unavailable") + " (encoder " +
        encoder.encoderID.value_or("?") + ", hardware " + hardware + ")");
    return available;
}

bool VideoEncoder::calibrate(VideoCodec codec, const EncoderSessionFactory& makeSession) {
    auto small = calibrationMedian(codec, makeSession, 1600, 1000);
    if (!small) return false;
    auto large = calibrationMedian(codec, makeSession, 1824, 1144);
    if (!large) return false;
    bool prefers = *small * 0.8 > *large;
    char line[160];
    std::snprintf(line, sizeof(line), "video: %s encode 1600x1000 %.1f ms, 1824x1144 %.1f ms%s", toString(codec),
                  *small, *large, prefers ? ": streams use pictures above 1080p's area" : "");
    log(line);
    return prefers;
}

EncoderCapabilities::EncoderCapabilities(EncoderSessionFactory makeSession) : makeSession(std::move(makeSession)) {}

EncoderCapabilities::~EncoderCapabilities() {
    if (calibration.joinable()) calibration.join();
}

bool EncoderCapabilities::isAvailable(VideoCodec codec) {
    MutexLock guard(lock);
    auto found = available.find(codec);
    if (found != available.end()) return found->second;
    return available[codec] = VideoEncoder::probe(codec, makeSession);
}

bool EncoderCapabilities::prefersAbove1080p(VideoCodec codec) {
    if (!isAvailable(codec)) return false;
    MutexLock guard(lock);
    auto found = above1080p.find(codec);
    if (found != above1080p.end()) return found->second;
    return above1080p[codec] = VideoEncoder::calibrate(codec, makeSession);
}

void EncoderCapabilities::calibrateInBackground() {
    if (calibration.joinable()) return;
    calibration = std::thread([this] {
        for (VideoCodec codec : {VideoCodec::h264, VideoCodec::hevc}) {
            if (isAvailable(codec)) prefersAbove1080p(codec);
        }
    });
}

void fillCalibrationPicture(uint8_t* pixels, int width, int height, int stride, int shift) {
    constexpr uint32_t light = 0xFFF2F2F4, dark = 0xFF202020;
    constexpr int pageRows = 126, blockRows = 18;
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(pixels + static_cast<size_t>(y) * stride);
        int pageRow = (y + shift) % pageRows;
        uint32_t block = static_cast<uint32_t>(pageRow / blockRows);
        int inBlock = pageRow % blockRows;
        for (int x = 0; x < width; ++x) row[x] = light;
        if (inBlock < 4 || inBlock > 13) continue;
        for (int x = 12; x < width - 40; ++x) {
            uint32_t h =
                static_cast<uint32_t>(pageRow) * 97u ^ block * 40503u ^ static_cast<uint32_t>(x / 3) * 0x9E3779B1u;
            if (h % 5 < 2) row[x] = dark;
        }
    }
}

}  // namespace tovo
