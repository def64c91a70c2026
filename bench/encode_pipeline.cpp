// The encoder's cost on live pictures: a FrameStream on the current $DISPLAY at the given
// width and rate, each new picture encoded as the stream loop would (one in flight).
// Prints one JSON line.
//
//   encode_pipeline [PICTURES] [MAXWIDTH] [FPS] [CODEC] [KBPS]
#include "capture/FrameStream.h"
#include "capture/x11/X11Capture.h"
#include "display/Displays.h"
#include "display/x11/X11Displays.h"
#include "video/VideoEncoder.h"
#include "video/libav/LibavEncoderSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 300;
    tovo::x11::SharedDisplay connection;
    auto source = tovo::makeX11DisplaySource(connection);
    tovo::Displays displays(*source);
    tovo::VideoCaptureLatency latency;
    tovo::CaptureParams params;
    params.display = displays.resolve(std::nullopt);
    params.maxWidth = argc > 2 ? std::atoi(argv[2]) : 1920;
    int fps = argc > 3 ? std::atoi(argv[3]) : 30;
    auto codec = tovo::videoCodecNamed(argc > 4 ? argv[4] : "h264").value_or(tovo::VideoCodec::h264);
    int kbps = argc > 5 ? std::atoi(argv[5]) : 3500;

    tovo::FrameStream frames(
        params, fps, true, displays, [] { return tovo::makeX11ScreenCapturer(nullptr); }, latency);
    frames.start();
    tovo::VideoEncoder encoder(codec, kbps * 1000, fps, tovo::libavSessionFactory());
    std::vector<double> ms;
    size_t bytes = 0;
    uint64_t seen = 0;
    bool first = true;
    int width = 0, height = 0;
    while (static_cast<int>(ms.size()) < count) {
        if (!frames.waitForPicture(seen, std::chrono::steady_clock::now() + std::chrono::seconds(5))) break;
        auto picture = frames.latest();
        seen = picture->seq;
        auto t0 = std::chrono::steady_clock::now();
        auto unit = encoder.encode(*picture, t0.time_since_epoch().count() / 1e9, first);
        double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (!unit) continue;
        if (!first) ms.push_back(took);
        first = false;
        bytes += unit->data.size();
        width = unit->width;
        height = unit->height;
    }
    frames.stop();
    if (ms.empty()) {
        std::printf("{\"error\":\"no pictures\"}\n");
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    std::printf(
        "{\"codec\":\"%s\",\"encoder\":\"%s\",\"size\":\"%dx%d\",\"pictures\":%zu,\"encode_p50_ms\":%.2f,"
        "\"encode_p99_ms\":%.2f,\"mean_bytes\":%zu}\n",
        tovo::toString(codec), encoder.encoderID.value_or("?").c_str(), width, height, ms.size(), at(0.5), at(0.99),
        bytes / (ms.size() + 1));
}
