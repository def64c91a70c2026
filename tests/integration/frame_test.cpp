// Still pictures from the real service: checked with ImageMagick, xdotool and a window of a
// known colour.
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

std::unique_ptr<Process> openWindow(int x, int y, int w, int h, const std::string& rgb) {
    auto window = std::make_unique<Process>(std::vector<std::string>{colorWindow, std::to_string(x), std::to_string(y),
                                                                     std::to_string(w), std::to_string(h), rgb});
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
    BareXServer x;
    Service service(x.display);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(service.frame("").status, 200);
    EXPECT_GE(segmentsOf(service.process->pid()), 1);

    x.process->signal(SIGTERM);
    ASSERT_TRUE(x.process->wait(10s));
    auto gone = service.frame("");
    EXPECT_EQ(gone.status, 503) << service.process->output();
    EXPECT_EQ(gone.body, R"({"error":"no graphical login session for this user"})");
    EXPECT_EQ(segmentsOf(service.process->pid()), 0);
    EXPECT_TRUE(service.process->running());
}

TEST(Frame, AnUnchangedScreenIsAnsweredWithThePreviousPicture) {
    Service service(VirtualDesktop::shared().display());
    auto red = openWindow(200, 200, 300, 200, "ff0000");
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "1500", "900"}).code, 0);
    auto first = service.frame("maxWidth=960&quality=80");
    auto again = service.frame("maxWidth=960&quality=80");
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(again.body, first.body);
    EXPECT_NE(service.frame("maxWidth=960&quality=81").body, first.body);  // other parameters: a new picture

    // A moved pointer, or a change on screen, makes a new picture.
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "1510", "900"}).code, 0);
    auto moved = service.frame("maxWidth=960&quality=80");
    EXPECT_NE(moved.body, first.body);
    auto blue = openWindow(600, 300, 200, 200, "0000ff");
    auto changed = service.frame("maxWidth=960&quality=80", "changed.jpg");
    EXPECT_NE(changed.body, moved.body);
    EXPECT_TRUE(near(pixelAt(service.path("changed.jpg"), 350, 175), 0, 0, 255));
}
