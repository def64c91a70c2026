// The server-side cost of one still picture: StillCapture::frame (capture, scale, JPEG) run
// in-process on the current $DISPLAY, N times. Prints one JSON line.
//
//   frame_pipeline [COUNT] [MAXWIDTH] [QUALITY]
#include "capture/Displays.h"
#include "capture/StillCapture.h"
#include "capture/x11/X11Capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 200;
    tovo::x11::SharedDisplay connection;
    auto source = tovo::makeX11DisplaySource(connection);
    tovo::Displays displays(*source);
    tovo::StillCapture stills(displays, [] { return tovo::makeX11ScreenCapturer(nullptr); });
    tovo::CaptureParams params;
    params.display = displays.resolve(std::nullopt);
    params.maxWidth = argc > 2 ? std::atoi(argv[2]) : 1280;
    params.quality = argc > 3 ? std::atoi(argv[3]) : 70;
    stills.frame(params);  // warm-up: connection and shared memory
    std::vector<double> ms;
    size_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        auto frame = stills.frame(params);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        bytes = frame.data.size();
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    std::printf("{\"pictures\":%d,\"p50_ms\":%.2f,\"p99_ms\":%.2f,\"jpeg_bytes\":%zu}\n", count, at(0.5), at(0.99), bytes);
}
