// Still pictures from the real service, and a FrameStream on the real X server: checked with
// ImageMagick, xdotool and a window of a known colour.
#include "capture/Displays.h"
#include "capture/FrameStream.h"
#include "capture/x11/X11Capture.h"
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

using namespace tovo;
using namespace tovo::test;
using namespace std::chrono_literals;

namespace {


struct Service : ServiceProcess {
    explicit Service(const std::string& display) : ServiceProcess(binary, display) {
        EXPECT_TRUE(ready()) << process->output();
    }
    // GET /frame?{query}, saved to a file in the service's directory.
    HTTPResponse frame(const std::string& query, const std::string& file = "frame.jpg") {
        auto response = get("/frame?" + query);
        std::ofstream(path(file), std::ios::binary) << response.body;
        return response;
    }
};

// The colour ImageMagick reads at (x, y) of a picture, as {r, g, b}.
std::array<int, 3> pixelAt(const std::string& file, int x, int y) {
    auto result = runCommand({"/usr/bin/convert", file, "-format",
                              "%[fx:int(255*p{" + std::to_string(x) + "," + std::to_string(y) +
                                  "}.r)],%[fx:int(255*p{" + std::to_string(x) + "," + std::to_string(y) +
                                  "}.g)],%[fx:int(255*p{" + std::to_string(x) + "," + std::to_string(y) + "}.b)]",
                              "info:"});
    std::array<int, 3> rgb{-1, -1, -1};
    std::sscanf(result.output.c_str(), "%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]);
    return rgb;
}

bool near(const std::array<int, 3>& rgb, int r, int g, int b, int tolerance = 24) {
    return std::abs(rgb[0] - r) <= tolerance && std::abs(rgb[1] - g) <= tolerance && std::abs(rgb[2] - b) <= tolerance;
}

std::unique_ptr<Process> openWindow(int x, int y, int w, int h, const std::string& rgb) {
    auto window = std::make_unique<Process>(
        std::vector<std::string>{colorWindow, std::to_string(x), std::to_string(y), std::to_string(w), std::to_string(h), rgb});
    EXPECT_TRUE(window->waitForOutput("mapped", 10s)) << window->output();
    return window;
}

int segmentsOf(int pid) {
    auto result = runCommand({"/usr/bin/ipcs", "-m", "-p"});
    std::regex row(R"(^\s*\d+\s+\S+\s+(\d+)\s+\d+)");
    int count = 0;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, row) && std::stoi(match[1]) == pid) ++count;
    }
    return count;
}

}  // namespace

TEST(Frame, ScaledJpegWithItsHeadersInOrder) {
    Service service(VirtualDesktop::shared().display());
    auto curl = runCommand({"/usr/bin/curl", "-sS", "-D", "-", "-o", service.path("curl.jpg"), "--unix-socket",
                            service.socket, "http://x/frame?maxWidth=800&quality=60"});
    ASSERT_EQ(curl.code, 0) << curl.output;
    std::regex order(
        "HTTP/1.1 200 OK\r\nX-Frame-Width: 800\r\nX-Frame-Height: 450\r\nX-Display: \\d+\r\nCache-Control: no-store\r\n"
        "Content-Type: image/jpeg\r\nContent-Length: \\d+\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(std::regex_match(curl.output, order)) << curl.output;
    auto identify = runCommand({"/usr/bin/identify", "-format", "%m %w %h", service.path("curl.jpg")});
    EXPECT_EQ(identify.output, "JPEG 800 450");

    struct Case {
        std::string query;
        int width;
    };
    for (const auto& c : std::vector<Case>{{"maxWidth=50", 160}, {"maxWidth=10000", 1920}, {"maxWidth=801", 800},
                                           {"maxWidth=1279&quality=100", 1278}, {"quality=1", 1280}}) {
        auto response = service.frame(c.query);
        EXPECT_EQ(response.status, 200) << c.query;
        EXPECT_EQ(response.headers["x-frame-width"], std::to_string(c.width)) << c.query;
        int height = std::stoi(response.headers["x-frame-height"]);
        EXPECT_EQ(height % 2, 0);
        EXPECT_NEAR(height, c.width * 1080.0 / 1920, 2) << c.query;
    }
    auto unknown = service.frame("display=12345");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.body, R"({"error":"unknown display 12345"})");
    EXPECT_EQ(service.frame("quality=high").body, R"({"error":"quality must be an integer"})");
}

TEST(Frame, ShowsWhatIsOnScreenWithThePointer) {
    Service service(VirtualDesktop::shared().display());
    auto red = openWindow(100, 100, 300, 200, "ff0000");
    auto blue = openWindow(900, 500, 200, 200, "0000ff");
    // Park the pointer well away from both windows first.
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "1800", "50"}).code, 0);

    ASSERT_EQ(service.frame("maxWidth=1920&quality=90", "full.jpg").status, 200);
    EXPECT_TRUE(near(pixelAt(service.path("full.jpg"), 250, 200), 255, 0, 0));
    EXPECT_TRUE(near(pixelAt(service.path("full.jpg"), 1000, 600), 0, 0, 255));
    // Scaled to half size, the windows are at half the coordinates.
    ASSERT_EQ(service.frame("maxWidth=960&quality=90", "half.jpg").status, 200);
    EXPECT_TRUE(near(pixelAt(service.path("half.jpg"), 125, 100), 255, 0, 0));
    EXPECT_TRUE(near(pixelAt(service.path("half.jpg"), 500, 300), 0, 0, 255));

    // With the pointer over the red window, the pixels by its hot spot are not red.
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "250", "200"}).code, 0);
    ASSERT_EQ(service.frame("maxWidth=1920&quality=90", "pointer.jpg").status, 200);
    int notRed = 0;
    for (int dy = -6; dy <= 6; dy += 2) {
        for (int dx = -6; dx <= 6; dx += 2) {
            if (!near(pixelAt(service.path("pointer.jpg"), 250 + dx, 200 + dy), 255, 0, 0, 60)) ++notRed;
        }
    }
    EXPECT_GT(notRed, 2);
}

TEST(Frame, VanishedXServerLeavesNoSharedMemory) {
    int number = 60 + ::getpid() % 150;
    while (fileExists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
    std::string display = ":" + std::to_string(number);
    Process xvfb({"/usr/bin/Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    for (int i = 0; i < 200 && runCommand({"/usr/bin/xdpyinfo", "-display", display}).code != 0; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    Service service(display);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(service.frame("").status, 200);
    EXPECT_GE(segmentsOf(service.process->pid()), 1);

    xvfb.signal(SIGTERM);
    ASSERT_TRUE(xvfb.wait(10s));
    auto gone = service.frame("");
    EXPECT_EQ(gone.status, 503) << gone.body;
    EXPECT_EQ(gone.body, R"({"error":"no graphical login session for this user"})");
    EXPECT_EQ(segmentsOf(service.process->pid()), 0);
    EXPECT_TRUE(service.process->running());
}

TEST(FrameStreamOnX11, IdleTicksThenCompletePicturesWhenAWindowMoves) {
    VirtualDesktop::shared();
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "1900", "1000"}).code, 0);
    x11::SharedDisplay connection;
    auto source = makeX11DisplaySource(connection);
    Displays displays(*source);
    VideoCaptureLatency latency;
    CaptureParams params;
    params.display = displays.resolve(std::nullopt);
    params.maxWidth = 960;
    FrameStream stream(params, 30, false, displays, makeX11ScreenCapturer, latency);
    stream.start();
    EXPECT_EQ(stream.first(1.5), FrameStream::FirstOutcome::picture);
    std::this_thread::sleep_for(1s);
    auto idle = stream.takeActivityWindow();
    EXPECT_GE(idle.idle, 20) << idle.line();
    EXPECT_LE(idle.complete, 2) << idle.line();
    uint64_t kept = stream.changes();

    auto window = openWindow(100, 100, 200, 200, "00ff00");
    for (int i = 0; i < 10; ++i) {
        window->writeStdin("move " + std::to_string(120 + 40 * i) + " 140\n");
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(200ms);
    auto moving = stream.takeActivityWindow();
    EXPECT_GE(moving.complete, 5) << moving.line();
    EXPECT_GE(stream.changes(), kept + 5);
    std::regex form(R"(complete \d+\.\d/s idle \d+\.\d/s other \d+\.\d/s gated \d+(, complete gap p50/90/99 \d+/\d+/\d+ ms)?)");
    EXPECT_TRUE(std::regex_match(moving.line(), form)) << moving.line();
    auto picture = stream.latest();
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 960);
    EXPECT_EQ(picture->height, 540);
    stream.stop();
}
