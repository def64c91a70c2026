// GET /windows and GET /hit with openbox and real X clients on the headless desktop.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(Windows, ListsAppsFrontFirstAndHitsThem) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    // A managed GTK window (openbox frames and focuses it) and an override-redirect window
    // above it.
    Process gtk({"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "600", "300", "500", "400"});
    ASSERT_TRUE(gtk.waitForOutput("\"ready\"", 15s)) << gtk.output();
    Process red({colorWindow, "100", "100", "400", "300", "ff0000"});
    ASSERT_TRUE(red.waitForOutput("mapped", 10s));

    json windows;
    eventually([&] {
        windows = service.getJson("/windows");
        return windows["apps"].size() >= 2 && !windows["focused"].is_null();
    });
    ASSERT_GE(windows["apps"].size(), 2u) << windows;
    EXPECT_EQ(windows["apps"][0]["pid"], red.pid()) << windows;
    EXPECT_EQ(windows["apps"][0]["name"], "ColorWindow");
    EXPECT_EQ(windows["apps"][1]["pid"], gtk.pid());
    EXPECT_EQ(windows["focused"]["pid"], gtk.pid()) << windows;

    json redWindow;
    for (auto& w : windows["windows"]) {
        if (w["pid"] == red.pid()) redWindow = w;
    }
    ASSERT_FALSE(redWindow.is_null()) << windows;
    EXPECT_NEAR(redWindow["x"].get<double>(), 100.0 / 1920, 1e-4);
    EXPECT_NEAR(redWindow["w"].get<double>(), 400.0 / 1920, 1e-4);

    auto hitRed = service.getJson("/hit?x=0.15&y=0.23");
    EXPECT_EQ(hitRed["app"]["pid"], red.pid()) << hitRed;
    auto hitGtk = service.getJson("/hit?x=0.44&y=0.45");
    EXPECT_EQ(hitGtk["app"]["pid"], gtk.pid()) << hitGtk;
    EXPECT_EQ(hitGtk["layer"], 0);
}

TEST(Windows, AppWindowsListMinimisedWindowsLast) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    Process first({"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "100", "100", "500", "400"});
    Process second({"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "800", "100", "400", "300"});
    ASSERT_TRUE(first.waitForOutput("\"ready\"", 15s));
    ASSERT_TRUE(second.waitForOutput("\"ready\"", 15s));

    // Both probes share a window class, so both belong to the app; the name is compared
    // without case.
    auto listed = service.getJson("/app/windows?bundleId=INPUT_PROBE.PY");
    ASSERT_EQ(listed["windows"].size(), 2u) << listed;
    EXPECT_EQ(listed["app"]["bundleId"], "Input_probe.py");
    json secondWindow;
    for (auto& w : listed["windows"]) {
        EXPECT_EQ(w["onScreen"], true);
        EXPECT_EQ(w["minimized"], false);
        if (std::abs(w["x"].get<double>() - 800.0 / 1920) < 0.01) secondWindow = w;
    }
    ASSERT_FALSE(secondWindow.is_null()) << listed;

    ASSERT_EQ(
        runCommand({"/usr/bin/xdotool", "windowminimize", std::to_string(secondWindow["id"].get<uint32_t>())}).code, 0);
    json after;
    eventually([&] {
        after = service.getJson("/app/windows?bundleId=input_probe.py");
        return after["windows"].size() == 2 && after["windows"][1]["minimized"] == true;
    });
    ASSERT_EQ(after["windows"].size(), 2u) << after;
    EXPECT_EQ(after["windows"][0]["onScreen"], true);
    EXPECT_EQ(after["windows"][1]["id"], secondWindow["id"]);
    EXPECT_EQ(after["windows"][1]["onScreen"], false);
    EXPECT_EQ(after["windows"][1]["minimized"], true);

    EXPECT_EQ(service.getJson("/app/windows?bundleId=org.example.none"),
              (json{{"app", nullptr}, {"windows", json::array()}}));
}

TEST(Windows, AScreenshotOfACoveredWindowShowsItsOwnPixels) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    Process red({colorWindow, "100", "100", "400", "300", "ff0000"});
    ASSERT_TRUE(red.waitForOutput("mapped", 10s));
    Process green({colorWindow, "300", "100", "200", "300", "00ff00"});  // covers red's right half
    ASSERT_TRUE(green.waitForOutput("mapped", 10s));
    Process gtk({"/usr/bin/python3", sourceDir + "/tests/support/input_probe.py", "700", "200", "500", "400"});
    ASSERT_TRUE(gtk.waitForOutput("\"ready\"", 15s));

    uint32_t redId = 0;
    json listed;
    ASSERT_TRUE(eventually([&] {
        listed = service.getJson("/app/windows?bundleId=ColorWindow");
        for (auto& w : listed["windows"]) {
            if (std::abs(w["x"].get<double>() - 100.0 / 1920) < 0.001) redId = w["id"];
        }
        return redId != 0;
    })) << listed;
    auto picture = service.get("/app/screenshot?window=" + std::to_string(redId) + "&quality=90");
    ASSERT_EQ(picture.status, 200) << picture.body;
    EXPECT_EQ(picture.headers["x-frame-width"], "400");
    EXPECT_EQ(picture.headers["x-frame-height"], "300");
    EXPECT_EQ(picture.headers["x-window"], std::to_string(redId));
    EXPECT_EQ(picture.headers["x-window-bounds"], "0.0521,0.0926,0.2083,0.2778");
    std::string file = service.path("window.jpg");
    std::ofstream(file, std::ios::binary) << picture.body;
    EXPECT_TRUE(near(pixelAt(file, 300, 150), 255, 0, 0, 30));  // red where green covers it on screen

    uint32_t gtkId = service.getJson("/app/windows?bundleId=input_probe.py")["windows"][0]["id"];
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "windowminimize", std::to_string(gtkId)}).code, 0);
    HTTPResponse minimized;
    eventually(
        [&] { return (minimized = service.get("/app/screenshot?window=" + std::to_string(gtkId))).status == 409; });
    EXPECT_EQ(minimized.body, "{\"error\":\"window " + std::to_string(gtkId) + " is minimized\"}");
    EXPECT_EQ(service.get("/app/screenshot?window=" + std::to_string(redId) + "&hide=colorwin*,ColorWindow").body,
              "{\"error\":\"window " + std::to_string(redId) + " belongs to a hidden app\"}");
    EXPECT_EQ(service.get("/app/screenshot?window=1").body, R"({"error":"no window 1"})");
}

// An app has one id in every route and filter, though only one of its windows declares it.
TEST(Windows, AnAppHasOneIdWhicheverWindowDeclaresIt) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    Process app({"/usr/bin/python3", sourceDir + "/tests/support/two_windows.py"});
    ASSERT_TRUE(app.waitForOutput("\"ready\"", 15s)) << app.output();
    json windows;
    ASSERT_TRUE(eventually([&] {
        windows = service.getJson("/windows");
        int mine = 0;
        for (auto& w : windows["windows"]) mine += w["pid"] == app.pid();
        return mine == 2;
    })) << windows;
    for (auto& a : windows["apps"]) {
        if (a["pid"] == app.pid()) EXPECT_EQ(a["bundleId"], "org.example.TwoWindows") << a;
    }
    auto listed = service.getJson("/app/windows?bundleId=org.example.TwoWindows");
    EXPECT_EQ(listed["windows"].size(), 2u) << listed;
    // Both windows are kept by visible= (GTK's light grey where the plain one is).
    auto frame = service.get("/frame?maxWidth=1920&quality=90&visible=org.example.TwoWindows");
    ASSERT_EQ(frame.status, 200);
    std::string file = service.path("visible.jpg");
    std::ofstream(file, std::ios::binary) << frame.body;
    auto plain = pixelAt(file, 650, 200);
    EXPECT_GT(plain[0], 150) << plain[0] << "," << plain[1] << "," << plain[2];
}
