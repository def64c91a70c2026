// The tray app's logic without a display: paths, the instance lock, the log, the restart
// policy and supervisor over a fake launcher, the status documents and monitor, the menu
// in both languages, the grant refresh and the pairing window's views.
#include "app/AppError.h"
#include "app/AppPaths.h"
#include "app/InstanceLock.h"
#include "app/LogFile.h"
#include "app/PairingView.h"
#include "app/ServiceSupervisor.h"
#include "app/StatusMenu.h"
#include "app/StatusMonitor.h"
#include "http/UnixHTTPClient.h"
#include "support/ManualAppLoop.h"
#include "support/ManualTaskQueue.h"
#include "support/Process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>

using namespace tovo;
using tovo::test::ManualAppLoop;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Children that exist only as records: the test ends them.
struct FakeLauncher : ChildLauncher {
    Child launch(const std::vector<std::string>& argv, int, std::function<void(pid_t, int, bool)> onExit) override {
        if (failNext) {
            failNext = false;
            throw AppError("no such file");
        }
        lastArgv = argv;
        pid_t pid = ++lastPid;
        exits[pid] = std::move(onExit);
        return {pid, -1};
    }
    bool signal(pid_t pid, int number) override {
        if (!exits.count(pid)) return false;
        signals.emplace_back(pid, number);
        return true;
    }
    bool running(pid_t pid) override { return exits.count(pid) > 0; }
    void end(pid_t pid, int status, bool signaled = false) {
        auto onExit = std::move(exits.at(pid));
        exits.erase(pid);
        onExit(pid, status, signaled);
    }
    pid_t lastPid = 100;
    bool failNext = false;
    std::vector<std::string> lastArgv;
    std::map<pid_t, std::function<void(pid_t, int, bool)>> exits;
    std::vector<std::pair<pid_t, int>> signals;
};

}  // namespace

TEST(AppFiles, PathsLockAndLog) {
    tovo::test::TempDir dir;
    std::map<std::string, const char*> env;
    auto from = [&](const char* name) -> const char* { return env.count(name) ? env[name] : nullptr; };
    AppPaths plain = AppPaths::resolve(from, "/home/u");
    EXPECT_EQ(plain.home, "/home/u/.local/share/tovo-control");
    EXPECT_EQ(plain.logPath(), "/home/u/.local/state/tovo-control/tovo-control.log");
    env["TOVO_HOME"] = "";
    env["XDG_DATA_HOME"] = "/data";
    EXPECT_EQ(AppPaths::resolve(from, "/home/u").home, "/data/tovo-control");
    env["TOVO_HOME"] = "~/a/./b/../c//";
    AppPaths custom = AppPaths::resolve(from, "/home/u");
    EXPECT_EQ(custom.home, "/home/u/a/c");
    EXPECT_EQ(custom.logDirectory, "/home/u/a/c/logs");

    // 103 bytes of socket path are accepted, 104 refused.
    std::string base = dir.path() + "/";
    AppPaths fits{base + std::string(103 - base.size() - 12, 'h'), base + "logs"};
    ASSERT_EQ(fits.socketPath().size(), 103u);
    EXPECT_NO_THROW(fits.prepare());
    struct stat info {};
    ASSERT_EQ(::stat(fits.home.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    AppPaths tooLong{fits.home + "x", base + "logs"};
    EXPECT_THROW(tooLong.prepare(), AppError);

    // A second holder learns the first one's pid; a garbled file gives none.
    const std::string lockPath = dir.path() + "/app.lock";
    pid_t child = ::fork();
    if (child == 0) {
        auto held = InstanceLock::acquire(lockPath);
        ::pause();
        ::_exit(held.lock ? 0 : 1);
    }
    ASSERT_TRUE(tovo::test::eventually([&] { return readAll(lockPath) == std::to_string(child) + "\n"; }));
    auto second = InstanceLock::acquire(lockPath);
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.holder, child);
    std::ofstream(lockPath) << "garbage";
    auto garbled = InstanceLock::acquire(lockPath);
    EXPECT_FALSE(garbled.lock);
    EXPECT_FALSE(garbled.holder);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(InstanceLock::acquire(lockPath).lock);

    // Rotation only above 10 MiB.
    const std::string logPath = dir.path() + "/app.log";
    { std::ofstream(logPath) << std::string(LogFile::rotateAbove, 'x'); }
    { LogFile log(logPath); }
    EXPECT_NE(::access((logPath + ".1").c_str(), F_OK), 0);
    { std::ofstream(logPath, std::ios::app) << "y"; }
    LogFile rotated(logPath);
    rotated.write("hello");
    EXPECT_EQ(::access((logPath + ".1").c_str(), F_OK), 0);
    std::string line = readAll(logPath);
    EXPECT_NE(line.find(" tovo-control-app[" + std::to_string(::getpid()) + "]: hello\n"), std::string::npos) << line;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(LogFile::line("m", 1700000000123, 7), "2023-11-14T22:13:20.123+00:00 tovo-control-app[7]: m\n");
}

TEST(ServiceSupervisor, RestartPolicyDelays) {
    RestartPolicy policy;
    std::vector<double> delays;
    for (int i = 0; i < 8; ++i) delays.push_back(policy.delay(1, 0.5));
    EXPECT_EQ(delays, (std::vector<double>{1, 2, 4, 8, 16, 32, 60, 60}));
    EXPECT_EQ(policy.delay(1, 70), 1);    // a stable run clears the failures
    EXPECT_EQ(policy.delay(75, 1.9), 2);  // too early for a replacement: a failure
    EXPECT_EQ(policy.delay(75, 2.0), 0);
    EXPECT_EQ(policy.failures, 2);
    EXPECT_EQ(policy.delay(std::nullopt, 3), 4);  // killed by a signal: never the exit-75 path
}

TEST(ServiceSupervisor, StartsRestartsAndStops) {
    tovo::test::TempDir dir;
    LogFile log(dir.path() + "/log");
    ManualAppLoop loop;
    FakeLauncher launcher;
    ServiceSupervisor supervisor("/bin/tovo", dir.path() + "/screen.sock", log, loop, launcher);
    int changes = 0;
    supervisor.onChange = [&] { ++changes; };
    supervisor.start();
    EXPECT_EQ(launcher.lastArgv, (std::vector<std::string>{"/bin/tovo", "--socket", dir.path() + "/screen.sock",
                                                           "--exit-on-stdin-eof", "--remote"}));
    ASSERT_EQ(supervisor.state().kind, ServiceSupervisor::State::Kind::running);
    supervisor.start();  // runs already
    EXPECT_EQ(launcher.lastPid, 101);

    // A crash: back after 1 s.
    launcher.end(101, SIGSEGV, true);
    loop.runPosted();
    EXPECT_EQ(supervisor.state().kind, ServiceSupervisor::State::Kind::waiting);
    EXPECT_EQ(supervisor.lastExit(), "killed by signal 11");
    loop.advance(0.9);
    EXPECT_EQ(launcher.lastPid, 101);
    loop.advance(0.2);
    EXPECT_EQ(launcher.lastPid, 102);
    // Asking for a fresh process with 75 after 2 s: at once.
    loop.advance(3);
    launcher.end(102, 75);
    loop.runPosted();
    EXPECT_EQ(launcher.lastPid, 103);

    // Two restarts before the child ends: both follow-ups run, one new child.
    supervisor.restart("first", true);
    supervisor.restart("second", false);
    EXPECT_EQ(launcher.signals, (std::vector<std::pair<pid_t, int>>{{103, SIGTERM}}));
    launcher.end(103, 0);
    loop.runPosted();
    EXPECT_EQ(launcher.lastPid, 104);
    EXPECT_EQ(launcher.exits.size(), 1u);
    // A child that ignores SIGTERM is killed after 5 s.
    supervisor.restart("stuck", true);
    loop.advance(5.1);
    EXPECT_EQ(launcher.signals.back(), (std::pair<pid_t, int>{104, SIGKILL}));
    launcher.end(104, SIGKILL, true);
    loop.runPosted();
    EXPECT_EQ(launcher.lastPid, 105);

    // A launch failure is retried like a crash.
    launcher.end(105, 1);
    launcher.failNext = true;
    loop.runPosted();
    loop.advance(1.0);
    EXPECT_EQ(supervisor.lastExit(), "no such file");
    EXPECT_EQ(supervisor.state().kind, ServiceSupervisor::State::Kind::waiting);
    loop.advance(2.0);
    EXPECT_EQ(launcher.lastPid, 106);

    supervisor.shutdown(0.1);
    EXPECT_EQ(launcher.signals.back(), (std::pair<pid_t, int>{106, SIGKILL}));
    launcher.end(106, SIGKILL, true);
    loop.advance(100);
    EXPECT_EQ(launcher.lastPid, 106);  // nothing starts after shutdown
    std::string lines = readAll(dir.path() + "/log");
    for (const char* expected :
         {"service started (pid 101)", "service ended (killed by signal 11) after 0 s; next start in 1 s",
          "service ended (exit code 75) after 3 s; starting a fresh one", "restarting the service: first",
          "service ended (exit code 0) as asked", "the service did not stop within 5 s; killing it",
          "cannot start the service: no such file", "service stopped"}) {
        EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
    }
    EXPECT_GT(changes, 6);
}

TEST(StatusMonitor, ReadsStatusThenRemoteAndToleratesEverything) {
    EXPECT_EQ(UnixHTTP::parse("HTTP/1.1 503 No\r\nA: b\r\n\r\n{}").status, 503);
    EXPECT_EQ(UnixHTTP::parse("HTTP/1.1 200 OK\r\n\r\nbody").body, "body");
    EXPECT_EQ(UnixHTTP::parse("HTTP/1.1 200 OK\r\nX-Frame-Width:  640 \r\n\r\n").header("x-frame-width"), "640");
    for (const char* bad : {"HTTP/1.1 200 OK\r\n", "ICY 200 OK\r\n\r\n", "HTTP/1.1 abc\r\n\r\n"}) {
        EXPECT_THROW(UnixHTTP::parse(bad), UnixHTTP::RequestFailed) << bad;
    }
    try {
        UnixHTTP::parse("HTTP/1.1 200 OK");
    } catch (const UnixHTTP::RequestFailed& e) {
        EXPECT_STREQ(e.what(), "no HTTP head in the answer");
    }

    auto status = ServiceStatus::from(nlohmann::json::parse(
        R"({"ok":true,"screenRecording":"yes","accessibility":true,"error":5,"agentControl":{"active":true,"label":""}})"));
    EXPECT_TRUE(status.ok);
    EXPECT_FALSE(status.screenRecording);  // a mistyped key reads as false
    EXPECT_FALSE(status.error);
    EXPECT_TRUE(status.automationActive);
    EXPECT_FALSE(status.automationLabel);
    auto both = ServiceStatus::from(
        nlohmann::json::parse(R"({"automation":{"active":true,"label":"Bot"},"agentControl":{"active":false}})"));
    EXPECT_EQ(both.automationLabel, "Bot");

    ManualAppLoop loop;
    auto queue = std::make_shared<tovo::test::ManualTaskQueue>();
    std::vector<std::string> asked;
    bool up = false;
    StatusMonitor monitor(
        [&](const std::string& method, const std::string& path, const std::optional<std::string>&, double) {
            asked.push_back(method + " " + path);
            if (!up) throw AppError("connect: No such file or directory");
            if (path == "/status") return UnixHTTP::Response{500, R"({"ok":false,"error":"no display"})", {}};
            return UnixHTTP::Response{
                200,
                R"({"enabled":true,"devices":[{"id":"d1","name":"P","connected":true,"permissions":{"audio":false}},{"name":"x"}]})",
                {}};
        },
        loop, queue);
    int updates = 0;
    monitor.onUpdate = [&](const auto&) { ++updates; };
    monitor.start();
    monitor.refresh();  // one at a time
    queue->runJobs();
    loop.runPosted();
    EXPECT_EQ(asked, std::vector<std::string>{"GET /status"});  // no /remote without a status
    EXPECT_FALSE(monitor.latest());
    up = true;
    loop.advance(5);
    queue->runJobs();
    loop.runPosted();
    ASSERT_TRUE(monitor.latest());
    EXPECT_EQ(monitor.latest()->error, "no display");
    ASSERT_TRUE(monitor.remote());
    EXPECT_EQ(monitor.remote()->devices.size(), 1u);
    EXPECT_TRUE(monitor.remote()->devices[0].control && !monitor.remote()->devices[0].audio);
    EXPECT_TRUE(monitor.remote()->anyConnected());
    EXPECT_EQ(updates, 2);
}

TEST(StatusMenu, ItemsAndStateLinesInBothLanguages) {
    MenuInputs in;
    in.version = "1.2";
    in.supervisor.kind = ServiceSupervisor::State::Kind::running;
    in.status = ServiceStatus{true, true, true, std::nullopt, false, std::nullopt};
    RemoteStatus remote;
    remote.enabled = true;
    remote.devices = {{"d1", "Anna’s 手机", true, true, false, true}};
    in.remote = remote;
    in.loginItem = false;
    Texts en{false}, zh{true};

    auto titles = [](const std::vector<MenuItem>& items) {
        std::vector<std::string> out;
        for (const auto& i : items) out.push_back(i.separator ? "—" : i.title);
        return out;
    };
    auto english = StatusMenu::items(in, en);
    EXPECT_EQ(titles(english),
              (std::vector<std::string>{"Tovo Control 1.2", "Running", "—", "Screen Recording", "Accessibility", "—",
                                        "Pair iPhone…", "Paired Devices", "Allow Remote Access", "—", "Open at Login",
                                        "Restart Service", "Show Log", "—", "Quit Tovo Control"}));
    const MenuItem& device = english[7].submenu.at(0);
    EXPECT_EQ(device.title, "Anna’s 手机 · connected");
    auto check = [](MenuItem item, bool on) {
        item.checked = on;
        return item;
    };
    EXPECT_EQ(device.submenu.at(0),
              check(MenuItem::choice("May Control", "toggleDevicePermission", "d1 control"), true));
    EXPECT_EQ(device.submenu.at(1),
              check(MenuItem::choice("May Use the Clipboard", "toggleDevicePermission", "d1 clipboard"), false));
    EXPECT_EQ(device.submenu.at(4), MenuItem::choice("Remove “Anna’s 手机”", "removeDevice", "d1"));
    EXPECT_TRUE(english[8].checked);
    EXPECT_TRUE(english[3].checked && !english[3].enabled);
    EXPECT_EQ(titles(StatusMenu::items(in, zh)),
              (std::vector<std::string>{"Tovo Control 1.2", "运行中", "—", "屏幕录制", "辅助功能", "—", "配对 iPhone…",
                                        "已配对的设备", "允许远程访问", "—", "登录时打开", "重启服务", "显示日志", "—",
                                        "退出 Tovo Control"}));
    EXPECT_EQ(StatusMenu::iconName(in.status, in.remote), "phone");

    in.remote->controller = RemoteStatus::Controller{"d1", "Anna"};
    EXPECT_EQ(StatusMenu::stateLine(in, en), "Running · Anna is controlling this computer");
    EXPECT_EQ(titles(StatusMenu::items(in, zh))[6], "Anna 正在控制这台电脑");
    in.remote.reset();
    in.status->automationActive = true;
    EXPECT_EQ(StatusMenu::stateLine(in, zh), "运行中 · 自动化程序正在使用这台电脑");
    in.status->automationLabel = "Bot";
    EXPECT_EQ(StatusMenu::stateLine(in, en), "Running · Bot is using this computer");
    in.status = ServiceStatus{false, false, true, std::nullopt, false, std::nullopt};
    EXPECT_EQ(StatusMenu::stateLine(in, en), "Running · no screen: ?");
    EXPECT_EQ(StatusMenu::iconName(in.status, std::nullopt), "dialog-warning");
    auto missing = titles(StatusMenu::items(in, en));
    EXPECT_EQ(missing[3], "Screen Recording: not allowed");
    EXPECT_EQ(missing[5], "Request Permissions…");
    in.supervisor = {ServiceSupervisor::State::Kind::waiting, 0, 0, 1003.2};
    in.now = 1000;
    in.lastExit = "exit code 1";
    EXPECT_EQ(StatusMenu::stateLine(in, en), "Stopped (exit code 1) · restarting in 4 s");
    EXPECT_EQ(StatusMenu::stateLine(in, zh), "已停止 (exit code 1) · 4 秒后重启");
    in.status.reset();
    in.supervisor = {};
    EXPECT_EQ(StatusMenu::stateLine(in, zh), "正在启动…");
    EXPECT_EQ(titles(StatusMenu::items(in, en)).size(), 8u);  // no status, no remote items

    GrantRefresh grants;
    std::vector<double> restartsAt;
    for (double uptime = 0; uptime <= 1200; uptime += 5) {
        if (grants.due(false, false, uptime)) restartsAt.push_back(uptime);
    }
    EXPECT_EQ(std::vector<double>(restartsAt.begin(), restartsAt.begin() + 6),
              (std::vector<double>{15, 30, 60, 120, 240, 300}));
    EXPECT_FALSE(grants.due(false, true, 5000));  // busy
    EXPECT_FALSE(grants.due(true, false, 5000));
    EXPECT_EQ(grants.interval, GrantRefresh::firstInterval);
}

TEST(PairingView, WaitingScanningPairedAndExpired) {
    Texts en{false};
    PairingView::Progress progress;
    progress.before = {"old"};
    EXPECT_EQ(PairingView::render(std::nullopt, progress, 0, en)->title, "Waiting for the service…");
    RemoteStatus status;
    status.enabled = true;
    status.devices = {{"old", "Old phone", true}};  // paired before: not the new one
    status.pairing = RemoteStatus::Pairing{"123456", "tovo://pair?c=1", 1000.9,
                                           "https://192.0.2.7:47820/#pair=123456&fp=0aa729896e15df07e8b2"};
    auto scanning = PairingView::render(status, progress, 1000, en);
    EXPECT_EQ(scanning->title, "Scan with your iPhone");
    EXPECT_EQ(scanning->qr, "tovo://pair?c=1");
    EXPECT_EQ(scanning->webQr, status.pairing->webUrl);
    EXPECT_EQ(scanning->webCaption, "Open in a browser");
    EXPECT_EQ(scanning->fingerprint, "0AA7 2989 6E15 DF07");
    EXPECT_EQ(scanning->detail,
              "Open the Tovo Control app on your iPhone (or the Camera) and scan this code. It works once, "
              "for 0:00 more. · starting the listener…");
    status.listening = true;
    EXPECT_NE(PairingView::render(status, progress, 880, Texts{true})->detail.find("还剩 2:00。"), std::string::npos);
    status.pairing.reset();
    auto expired = PairingView::render(status, progress, 1001, en);
    EXPECT_EQ(expired->button, PairingView::Button::newCode);
    EXPECT_EQ(expired->buttonTitle, "New Code");
    status.devices.push_back({"new", "Anna", false});
    auto paired = PairingView::render(status, progress, 1002, en);
    EXPECT_EQ(paired->title, "Paired");
    EXPECT_EQ(paired->detail, "Anna can now see and control this computer. Remove it any time from the menu.");
    EXPECT_FALSE(PairingView::render(status, progress, 1003, en));  // stays paired
}
