// The tray app on the private desktop: it supervises the real service (restarts, back-off,
// one instance, a clean stop), registers its tray item with a StatusNotifier watcher on the
// session bus, exports its menu over D-Bus, and shows a pairing QR code that zbarimg reads.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <fstream>
#include <regex>
#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The app with a home of its own on the shared desktop.
struct App {
    TempDir home;
    std::unique_ptr<Process> process;

    explicit App(std::map<std::string, std::string> env = {}) {
        VirtualDesktop::shared();
        env["TOVO_HOME"] = home.path();
        env["TOVO_AUDIO"] = "off";
        process = std::make_unique<Process>(std::vector<std::string>{binary}, Process::Options{env, {}, {}, true});
    }
    std::string socket() const { return home.path() + "/screen.sock"; }
    std::string log() const { return readAll(home.path() + "/logs/tovo-control.log"); }
    bool serving() {
        return fileExists(socket()) && httpExchange(socket(), "GET /status HTTP/1.1\r\n\r\n").status == 200;
    }
    // The pids of "service started (pid N)" lines, in order.
    std::vector<int> servicePids() {
        std::vector<int> pids;
        std::regex started(R"(service started \(pid (\d+)\))");
        std::string text = log();
        for (std::sregex_iterator it(text.begin(), text.end(), started), end; it != end; ++it)
            pids.push_back(std::stoi((*it)[1]));
        return pids;
    }
};

// Seconds since midnight of a log line's time stamp.
double stampOf(const std::string& line) {
    int h, m;
    double s;
    if (std::sscanf(line.c_str() + 11, "%d:%d:%lf", &h, &m, &s) != 3) return -1;
    return h * 3600 + m * 60 + s;
}

std::string lineWith(const std::string& text, const std::string& what, int nth = 0) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(what) != std::string::npos && nth-- == 0) return line;
    }
    return "";
}

}  // namespace

TEST(App, SupervisesTheServiceBacksOffAndStopsItCleanly) {
    App app;
    ASSERT_TRUE(eventually([&] { return app.serving(); }, 20s)) << app.log() << app.process->output();

    // The service's lines in the app's log carry time stamps as the app's own do.
    const std::string listening = lineWith(app.log(), "]: listening on " + app.socket());
    EXPECT_EQ(listening.find(" tovo-control["), 29u) << app.log();
    EXPECT_GT(stampOf(listening), 0) << listening;
    // No tray host runs here: the log says the icon cannot show.
    EXPECT_TRUE(eventually([&] { return lineWith(app.log(), "no tray host (StatusNotifier watcher)") != ""; }, 5s))
        << app.log();

    // One app per home; a second one says so to whoever started it.
    auto second = runCommand({"/usr/bin/env", "TOVO_HOME=" + app.home.path(), binary}, 10s);
    EXPECT_EQ(second.code, 0);
    EXPECT_NE(
        second.output.find("tovo-control: Tovo Control already runs (pid " + std::to_string(app.process->pid()) + ")"),
        std::string::npos)
        << second.output;
    EXPECT_NE(app.log().find("Tovo Control already runs for " + app.home.path() + " (pid " +
                             std::to_string(app.process->pid()) + "); exiting"),
              std::string::npos)
        << app.log();

    // Killed, it is back after a second; a service that then cannot start (a file is in the
    // way of its socket) is started again after 2, then 4 s.
    ::kill(app.servicePids().at(0), SIGKILL);
    ASSERT_TRUE(eventually([&] { return lineWith(app.log(), "service ended (killed by signal 9)") != ""; }, 5s));
    ::unlink(app.socket().c_str());
    std::ofstream(app.socket()) << "in the way";
    ASSERT_TRUE(eventually([&] { return lineWith(app.log(), "next start in 4 s") != ""; }, 15s)) << app.log();
    std::string log = app.log();
    const std::string killed = lineWith(log, "service ended (killed by signal 9) after 0 s; next start in 1 s");
    const std::string failed1 = lineWith(log, "next start in 2 s"), failed2 = lineWith(log, "next start in 4 s");
    ASSERT_NE(killed, "") << log;
    EXPECT_NE(failed1.find("service ended (exit code 1)"), std::string::npos) << log;
    EXPECT_NE(failed2.find("service ended (exit code 1)"), std::string::npos) << log;
    double restarted1 = stampOf(lineWith(log, "service started", 1)),
           restarted2 = stampOf(lineWith(log, "service started", 2));
    EXPECT_NEAR(restarted1 - stampOf(killed), 1.0, 0.3);
    EXPECT_NEAR(restarted2 - stampOf(failed1), 2.0, 0.3);
    ::unlink(app.socket().c_str());
    ASSERT_TRUE(eventually([&] { return app.serving(); }, 20s)) << app.log();

    // SIGTERM: the service stops and its socket goes.
    int last = app.servicePids().back();
    app.process->signal(SIGTERM);
    auto code = app.process->wait(10s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0);
    EXPECT_FALSE(fileExists(app.socket()));
    EXPECT_NE(::kill(last, 0), 0);
    EXPECT_NE(app.log().find("service stopped"), std::string::npos);
}

TEST(App, TrayItemMenuAndPairingCode) {
    VirtualDesktop::shared();
    Process watcher({"/usr/bin/python3", sourceDir + "/tests/support/sni_watcher.py"});
    ASSERT_TRUE(watcher.waitForOutput("watching", 10s)) << watcher.output();
    App app;
    ASSERT_TRUE(watcher.waitForOutput("registered ", 20s)) << watcher.output() << app.log();
    std::smatch match;
    std::string out = watcher.output();
    ASSERT_TRUE(std::regex_search(out, match, std::regex(R"(registered (\S+) (\S+))")));
    const std::string name = match[1], path = match[2];
    auto menu = [&](const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv{"/usr/bin/python3", sourceDir + "/tests/support/dbusmenu.py", name, path};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto result = runCommand(argv, 10s);
        return json::parse(result.output.substr(0, result.output.find('\n')), nullptr, false);
    };
    json items;
    ASSERT_TRUE(eventually(
        [&] {
            items = menu();
            return items.is_array() && items.size() > 2 && items[1]["label"] == "Running";
        },
        30s))
        << items << app.log();
    std::vector<std::string> labels;
    for (const auto& item : items)
        labels.push_back(item["type"] == "separator" ? "—" : item["label"].get<std::string>());
    EXPECT_EQ(
        std::vector<std::string>(labels.begin() + 1, labels.end()),
        (std::vector<std::string>{"Running", "—", "Screen Recording", "Accessibility", "—", "Pair iPhone…",
                                  "Allow Remote Access", "—", "Restart Service", "Show Log", "—", "Quit Tovo Control"}))
        << items;
    EXPECT_EQ(items[7]["toggle-state"], 1);  // remote access is on

    // Opening the menu refreshes it at once, not at the next 5-second poll.
    auto remoteToggle = [&] {
        for (const auto& item : menu()) {
            if (item["label"] == "Allow Remote Access") return item["toggle-state"].get<int>();
        }
        return -1;
    };
    ASSERT_EQ(
        httpExchange(app.socket(), "POST /remote/enabled HTTP/1.1\r\nContent-Length: 17\r\n\r\n{\"enabled\":false}")
            .status,
        200);
    menu({"open"});
    EXPECT_TRUE(eventually([&] { return remoteToggle() == 0; }, 1s, 100ms)) << menu();
    ASSERT_EQ(
        httpExchange(app.socket(), "POST /remote/enabled HTTP/1.1\r\nContent-Length: 16\r\n\r\n{\"enabled\":true}")
            .status,
        200);
    menu({"open"});
    ASSERT_TRUE(eventually([&] { return remoteToggle() == 1; }, 1s, 100ms)) << menu();

    // The pairing window's code, read from the screen, is the pairing URL the service shows.
    menu({"click", "Pair iPhone…"});
    std::string shown, wanted, wantedWeb;
    EXPECT_TRUE(eventually(
        [&] {
            auto remote = json::parse(httpExchange(app.socket(), "GET /remote HTTP/1.1\r\n\r\n").body, nullptr, false);
            if (!remote.is_object() || !remote["pairing"].is_object()) return false;
            wanted = remote["pairing"]["url"];
            wantedWeb = remote["pairing"]["webUrl"];
            runCommand({"/usr/bin/import", "-window", "root", app.home.path() + "/screen.png"});
            // zbarimg's own complaints (it looks for a system bus) share the output.
            shown = runCommand({"/usr/bin/zbarimg", "-q", "--raw", app.home.path() + "/screen.png"}).output;
            // Both codes: the app's, and the browser link beside it.
            return shown.find(wanted + "\n") != std::string::npos && shown.find(wantedWeb + "\n") != std::string::npos;
        },
        20s, 500ms))
        << "read: " << shown << "\nwanted: " << wanted << "\nand: " << wantedWeb;

    // The window fits a small screen (its QR codes scaled to 260 pixels) and is the service's
    // own: in none of its pictures or window lists.
    auto geometry =
        runCommand({"/usr/bin/xdotool", "search", "--name", "^Pair iPhone$", "getwindowgeometry", "--shell"}).output;
    std::smatch size;
    ASSERT_TRUE(std::regex_search(geometry, size, std::regex(R"(WIDTH=(\d+)\nHEIGHT=(\d+))"))) << geometry;
    EXPECT_LE(std::stoi(size[1]), 640) << geometry;
    EXPECT_LE(std::stoi(size[2]), 560) << geometry;
    auto frame = httpExchange(app.socket(), "GET /frame?maxWidth=1920&quality=95 HTTP/1.1\r\n\r\n");
    ASSERT_EQ(frame.status, 200);
    std::ofstream(app.home.path() + "/frame.jpg", std::ios::binary) << frame.body;
    EXPECT_EQ(
        runCommand({"/usr/bin/zbarimg", "-q", "--raw", app.home.path() + "/frame.jpg"}).output.find("tovocontrol://"),
        std::string::npos);
    auto windows = httpExchange(app.socket(), "GET /windows HTTP/1.1\r\n\r\n").body;
    EXPECT_EQ(windows.find("Pair iPhone"), std::string::npos) << windows;
    app.process->signal(SIGTERM);
    EXPECT_TRUE(app.process->wait(10s));
}
