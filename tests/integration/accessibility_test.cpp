// GET /app/ax and GET /focus against a GTK app over AT-SPI on the headless desktop (the
// session bus starts the accessibility bus on demand).
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(Accessibility, SummaryOfAGtkWindowAndTheFocusProbe) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    auto switchState = [] {
        return runCommand({"/usr/bin/gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus", "-m",
                           "org.freedesktop.DBus.Properties.Get", "org.a11y.Status", "IsEnabled"})
            .output;
    };
    Process probe({"/usr/bin/python3", sourceDir + "/tests/support/ax_probe.py", "300", "100"});
    ASSERT_TRUE(probe.waitForOutput("ready", 15s)) << probe.output();

    json windows;
    for (int i = 0; i < 50; ++i) {
        windows = service.getJson("/app/windows?bundleId=ax_probe.py")["windows"];
        if (!windows.empty()) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(windows.empty());
    const std::string id = std::to_string(windows[0]["id"].get<uint32_t>());

    json summary;
    for (int i = 0; i < 30; ++i) {
        auto response = service.get("/app/ax?window=" + id);
        if (response.status == 200) {
            summary = json::parse(response.body);
            if (!summary["focused"].is_null()) break;
        }
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(summary.contains("elements")) << service.process->output();
    // Reading an app switches the session's accessibility on for toolkits that wait for it.
    EXPECT_NE(switchState().find("<true>"), std::string::npos) << switchState();
    EXPECT_EQ(summary["window"].get<int64_t>(), std::stoll(id));
    EXPECT_EQ(summary["truncated"], false);
    std::vector<std::string> seen;
    json field, secure, button;
    for (auto& e : summary["elements"]) {
        std::string entry = e["role"].get<std::string>() + ":" + e.value("title", "");
        seen.push_back(entry);
        if (entry == "AXButton:Press me") button = e;
        if (entry == "AXTextField:Your name") field = e;
        if (e.value("subrole", "") == "AXSecureTextField") secure = e;
        for (const char* key : {"x", "y", "w", "h"}) {
            EXPECT_GE(e[key].get<double>(), 0) << e;
            EXPECT_LE(e[key].get<double>(), 1) << e;
        }
    }
    // The button's own label is not listed beside it; rows are listed; the scrolled area
    // shows only its first buttons.
    EXPECT_FALSE(button.is_null()) << summary;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "AXStaticText:Press me"), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "AXRow:"), 3);
    EXPECT_NE(std::find(seen.begin(), seen.end(), "AXButton:Item 0"), seen.end());
    EXPECT_EQ(std::find(seen.begin(), seen.end(), "AXButton:Item 19"), seen.end());
    ASSERT_FALSE(field.is_null());
    EXPECT_EQ(summary["focused"], field["i"]);
    EXPECT_FALSE(secure.is_null());

    auto one = service.getJson("/app/ax?window=" + id + "&max=1");
    EXPECT_EQ(one["elements"].size(), 1u);
    EXPECT_EQ(one["truncated"], true);
    EXPECT_EQ(service.get("/app/ax").body, R"({"error":"window is required"})");

    // The focused entry takes text; a button does not.
    EXPECT_EQ(service.getJson("/focus"), (json{{"editable", true}, {"role", "AXTextField"}}));
    // Shift+Tab moves the focus back from the entry to the button.
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "key", "--clearmodifiers", "shift+Tab"}).code, 0);
    json focus;
    for (int i = 0; i < 30; ++i) {
        focus = service.getJson("/focus");
        if (focus["role"] == "AXButton") break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(focus, (json{{"editable", false}, {"role", "AXButton"}}));
}
