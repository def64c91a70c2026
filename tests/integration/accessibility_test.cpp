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
    ASSERT_TRUE(eventually(
        [&] { return !(windows = service.getJson("/app/windows?bundleId=ax_probe.py")["windows"]).empty(); }));
    const std::string id = std::to_string(windows[0]["id"].get<uint32_t>());

    json summary;
    eventually(
        [&] {
            auto response = service.get("/app/ax?window=" + id);
            if (response.status == 200) summary = json::parse(response.body);
            return summary.contains("focused") && !summary["focused"].is_null();
        },
        6s, 200ms);
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
    // A toggle button is a check box to clients.
    EXPECT_NE(std::find(seen.begin(), seen.end(), "AXCheckBox:Bold"), seen.end()) << summary;

    auto one = service.getJson("/app/ax?window=" + id + "&max=1");
    EXPECT_EQ(one["elements"].size(), 1u);
    EXPECT_EQ(one["truncated"], true);

    // The focused entry takes text; a toggle button does not.
    EXPECT_EQ(service.getJson("/focus"), (json{{"editable", true}, {"role", "AXTextField"}}));
    // Shift+Tab moves the focus back from the entry to the toggle button before it.
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "key", "--clearmodifiers", "shift+Tab"}).code, 0);
    json focus;
    eventually([&] { return (focus = service.getJson("/focus"))["role"] == "AXCheckBox"; }, 3s);
    EXPECT_EQ(focus, (json{{"editable", false}, {"role", "AXCheckBox"}}));
}

// An app with no tree on the service's session bus is told so, not that the screen is locked.
TEST(Accessibility, AnAppWithoutATreeIsToldTheTrueCause) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    Process xterm({"/usr/bin/xterm", "-geometry", "60x10+100+100", "-e", "sh", "-c", "sleep 600"});
    json windows;
    ASSERT_TRUE(
        eventually([&] { return !(windows = service.getJson("/app/windows?bundleId=XTerm")["windows"]).empty(); }));
    auto response = service.get("/app/ax?window=" + std::to_string(windows[0]["id"].get<uint32_t>()));
    EXPECT_EQ(response.status, 404);
    EXPECT_NE(response.body.find("no accessibility tree on the service's D-Bus session"), std::string::npos)
        << response.body;
}
