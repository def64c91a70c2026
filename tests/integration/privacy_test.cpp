// Keeping apps out of pictures, and the automation banner with its Escape key, on the
// private desktop: checked with ImageMagick (import, the pictures' pixels), xdotool, xterm
// and a GTK window that logs the keys it receives.
#include "support/DesktopService.h"
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Service : DesktopService {
    HTTPResponse frame(const std::string& query, const std::string& file) {
        auto response = get("/frame?" + query);
        std::ofstream(path(file), std::ios::binary) << response.body;
        return response;
    }
};

bool isBlue(const std::array<int, 3>& rgb) { return near(rgb, 0, 0, 255, 40); }
bool isGreen(const std::array<int, 3>& rgb) { return near(rgb, 0, 255, 0, 40); }
// The banner's orange at any brightness of its breathing.
bool isOrange(const std::array<int, 3>& rgb) {
    return rgb[0] >= 120 && rgb[1] >= rgb[0] * 0.4 && rgb[1] <= rgb[0] * 0.7 && rgb[2] <= rgb[0] * 0.3;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Privacy, VisibleHideAndCropShapeTheStill) {
    Service service;
    ASSERT_EQ(runCommand({"/usr/bin/xsetroot", "-solid", "#00ff00"}).code, 0);  // the desktop's backdrop
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "1900", "1000"}).code, 0);
    Process xterm({"/usr/bin/xterm", "-bg", "blue", "-geometry", "80x24+100+100", "-e", "sh", "-c", "sleep 600"});
    // The GTK window lies above the xterm and covers a corner of it.
    Process gtk({"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "300", "200", "600", "400"});
    ASSERT_TRUE(gtk.waitForOutput("\"ready\"", 15s)) << gtk.output();
    ASSERT_TRUE(eventually([&] { return service.getJson("/windows")["apps"].size() >= 2; }, 10s));

    auto plain = service.frame("maxWidth=1920&quality=90", "plain.jpg");
    ASSERT_EQ(plain.status, 200);
    EXPECT_EQ(plain.headers.count("x-frame-filter"), 0u);
    EXPECT_FALSE(isBlue(pixelAt(service.path("plain.jpg"), 350, 300)));  // the GTK window is over it

    auto visible = service.frame("maxWidth=1920&quality=90&visible=xterm", "visible.jpg");
    ASSERT_EQ(visible.status, 200) << visible.body;
    EXPECT_EQ(visible.headers["x-frame-filter"], "native");
    EXPECT_TRUE(isBlue(pixelAt(service.path("visible.jpg"), 350, 300)));   // the xterm, uncovered
    EXPECT_TRUE(isGreen(pixelAt(service.path("visible.jpg"), 800, 500)));  // no GTK window: the desktop
    EXPECT_TRUE(isBlue(pixelAt(service.path("visible.jpg"), 200, 250)));

    auto hidden = service.frame("maxWidth=1920&quality=90&hide=Input_probe.py", "hidden.jpg");
    ASSERT_EQ(hidden.status, 200);
    EXPECT_EQ(hidden.headers["x-frame-filter"], "native");
    EXPECT_TRUE(isBlue(pixelAt(service.path("hidden.jpg"), 350, 300)));
    EXPECT_TRUE(isGreen(pixelAt(service.path("hidden.jpg"), 800, 500)));

    // The centre quarter: 960 × 540 pixels from (480, 270) of the full picture.
    auto crop = service.frame("maxWidth=1920&quality=90&crop=0.25,0.25,0.5,0.5", "crop.jpg");
    ASSERT_EQ(crop.status, 200);
    EXPECT_EQ(crop.headers["x-crop"], "0.2500,0.2500,0.5000,0.5000");
    EXPECT_EQ(crop.headers["x-frame-width"], "960");
    EXPECT_EQ(crop.headers["x-frame-height"], "540");
    for (auto [x, y] : {std::pair{420, 330}, {100, 100}, {500, 50}}) {
        auto full = pixelAt(service.path("plain.jpg"), 480 + x, 270 + y);
        EXPECT_TRUE(near(pixelAt(service.path("crop.jpg"), x, y), full[0], full[1], full[2], 16)) << x << "," << y;
    }

    for (const auto& [query, text] :
         {std::pair<std::string, std::string>{"crop=abc", "crop must be x,y,w,h (normalized 0…1)"},
          {"crop=1,1,0.5,0.5", "crop is empty inside the picture"},
          {"hide=a%20b", "hide: a b is not a bundle id (a trailing * matches a prefix)"}}) {
        auto refused = service.get("/frame?" + query);
        EXPECT_EQ(refused.status, 400) << query;
        EXPECT_EQ(json::parse(refused.body)["error"], text);
    }
}

TEST(Privacy, TheBannerStaysOutOfPicturesAndEscapeEndsIt) {
    Service service;
    ASSERT_EQ(runCommand({"/usr/bin/xsetroot", "-solid", "#00ff00"}).code, 0);
    Process gtk({"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "400", "300", "600", "400"});
    ASSERT_TRUE(gtk.waitForOutput("\"ready\"", 15s)) << gtk.output();
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "700", "600", "click", "1"}).code, 0);
    SocketClient feed(service.socket);
    feed.send("GET /events HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(feed.readUntil("\"type\":\"state\"", 5s));

    auto on = service.post("/automation", R"({"active":true,"label":"Bot"})");
    ASSERT_EQ(on.status, 200) << on.body;
    EXPECT_EQ(json::parse(on.body), (json{{"active", true}, {"esc", true}, {"label", "Bot"}, {"ok", true}}));
    EXPECT_EQ(service.getJson("/status")["automation"], (json{{"active", true}, {"esc", true}, {"label", "Bot"}}));

    // On screen for everyone, in no picture of the service's.
    std::string root = service.path("root.png");
    ASSERT_TRUE(eventually(
        [&] {
            runCommand({"/usr/bin/import", "-window", "root", root});
            return isOrange(pixelAt(root, 2, 540)) && isOrange(pixelAt(root, 1917, 300));
        },
        5s))
        << service.process->output();
    ASSERT_EQ(service.frame("maxWidth=1920&quality=90", "banner.jpg").status, 200);
    // Where the border strips and the capsule are, the desktop shows as it is under them.
    EXPECT_TRUE(isGreen(pixelAt(service.path("banner.jpg"), 2, 540)));
    EXPECT_TRUE(isGreen(pixelAt(service.path("banner.jpg"), 960, 20)));

    // An Escape the service posts itself reaches the app and changes nothing.
    ASSERT_EQ(service.post("/input", R"({"type":"key","key":"esc"})").status, 200);
    ASSERT_TRUE(gtk.waitForOutput("\"key\": \"Escape\"", 5s)) << gtk.output();
    EXPECT_EQ(service.getJson("/status")["automation"]["active"], true);

    // The user's Escape ends automation, tells the feed, and never reaches the app.
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "key", "Escape"}).code, 0);
    auto abort = feed.readUntil("{\"type\":\"abort\",\"reason\":\"esc\"}\n", 5s);
    ASSERT_TRUE(abort) << service.process->output();
    EXPECT_EQ(service.getJson("/status")["agentControl"], (json{{"active", false}, {"esc", false}}));
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "type", "z"}).code, 0);
    ASSERT_TRUE(gtk.waitForOutput("\"key\": \"z\"", 5s));
    EXPECT_EQ(count(gtk.output(), "\"key\": \"Escape\""), 1) << gtk.output();
    EXPECT_TRUE(eventually(
        [&] {
            runCommand({"/usr/bin/import", "-window", "root", root});
            return !isOrange(pixelAt(root, 2, 540));
        },
        5s));
}

TEST(Privacy, TheBannerAndTheEscapeKeyFollowAnXServerThatComesBack) {
    BareXServer x;
    ServiceProcess service(binary, x.display);
    ASSERT_TRUE(service.ready()) << service.process->output();
    auto post = [&](const std::string& body) { return service.post("/automation", body); };
    ASSERT_EQ(json::parse(post(R"({"active":true})").body)["esc"], true);
    auto bannerShown = [&] {
        auto tree = runCommand({"/usr/bin/xwininfo", "-display", x.display, "-root", "-tree"}).output;
        return tree.find("Tovo Control automation") != std::string::npos;
    };
    ASSERT_TRUE(eventually(bannerShown, 3s));

    x.process->signal(SIGTERM);
    ASSERT_TRUE(x.process->wait(10s));
    x.restart();
    EXPECT_TRUE(eventually(bannerShown, 5s)) << service.process->output();
    // The grab is made again on the new server: the user's Escape still ends automation.
    EXPECT_TRUE(eventually(
        [&] {
            runCommand({"/usr/bin/env", "DISPLAY=" + x.display, "/usr/bin/xdotool", "key", "Escape"});
            return service.getJson("/status")["automation"]["active"] == false;
        },
        8s, 500ms))
        << service.process->output();
    EXPECT_TRUE(eventually([&] { return !bannerShown(); }, 3s));
    EXPECT_TRUE(service.process->running());
}

// A server that cannot compose windows cannot keep the banner out: the log says so, once.
TEST(Privacy, WithoutCompositeTheLogSaysTheBannerShows) {
    ::setenv("TOVO_XVFB_ARGS", "-extension Composite", 1);  // this process's desktop starts here
    Service service;
    const std::string line =
        "automation: the X server has no Composite extension; the banner shows in pictures and streams";
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(service.post("/automation", R"({"active":true,"label":"Bot"})").status, 200);
        ASSERT_TRUE(eventually(
            [&] {
                return service.frame("maxWidth=1920&quality=90", "banner.jpg").status == 200 &&
                       isOrange(pixelAt(service.path("banner.jpg"), 2, 540));
            },
            5s))
            << service.process->output();
        ASSERT_EQ(service.post("/automation", R"({"active":false})").status, 200);
    }
    EXPECT_EQ(count(service.process->output(), line), 1) << service.process->output();
}
