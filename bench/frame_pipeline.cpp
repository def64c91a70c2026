// The server-side cost of one still picture: StillCapture::frame (capture, scale, JPEG) run
// in-process on the current $DISPLAY, N times, first with the pointer moved by a pixel
// before each picture (every picture is made afresh), then with nothing changing (the last
// picture is answered again). Prints one JSON line.
//
//   frame_pipeline [COUNT] [MAXWIDTH] [QUALITY]
#include "capture/StillCapture.h"
#include "capture/x11/X11Capture.h"
#include "display/Displays.h"
#include "display/x11/X11Displays.h"

#include <X11/Xlib.h>

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
    Display* pointer = XOpenDisplay(nullptr);
    stills.frame(params);  // warm-up: connection and shared memory
    size_t bytes = 0;
    auto run = [&](bool moving) {
        std::vector<double> ms;
        for (int i = 0; i < count; ++i) {
            if (moving && pointer) {
                XWarpPointer(pointer, None, DefaultRootWindow(pointer), 0, 0, 0, 0, 1700 + i % 2, 900);
                XSync(pointer, False);
            }
            auto t0 = std::chrono::steady_clock::now();
            auto frame = stills.frame(params);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            bytes = frame.data.size();
        }
        std::sort(ms.begin(), ms.end());
        return std::pair{ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
    };
    auto [fresh50, fresh99] = run(true);
    auto [same50, same99] = run(false);
    std::printf(
        "{\"pictures\":%d,\"p50_ms\":%.2f,\"p99_ms\":%.2f,\"unchanged_p50_ms\":%.3f,\"unchanged_p99_ms\":%.3f,"
        "\"jpeg_bytes\":%zu}\n",
        count, fresh50, fresh99, same50, same99, bytes);
}
