#pragma once

#include "service/ScreenService.h"
#include "support/FakeEncoderSession.h"
#include "support/FakeInjector.h"
#include "support/FakePasteboard.h"
#include "support/FakeTransport.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tovo::test {

// A desktop whose session and grants the test sets.
class FakeDesktopSession : public DesktopSession {
public:
    bool reachable() override { return loggedIn; }
    bool canCaptureScreen() override { return capture; }
    bool canInjectInput() override { return input; }
    std::atomic<bool> loggedIn{true}, capture{true}, input{true};
};

// Set between requests only.
class FakeDisplaySource : public DisplaySource {
public:
    std::vector<MonitorRecord> monitors() override { return list; }
    bool asleep() override { return false; }
    void declareUserActivity() override {}
    void set(std::vector<MonitorRecord> monitors) { list = std::move(monitors); }

private:
    std::vector<MonitorRecord> list;
};

class FakeConsoleLock : public ConsoleLock {
public:
    bool locked() override { return false; }
};

// A screen of one grey level that changes once, at the start.
class SolidCapturer : public ScreenCapturer {
public:
    PixelView capture(const PixelRect& rect, bool) override {
        pixels.assign(static_cast<size_t>(rect.width) * rect.height * 4, 0x80);
        return {pixels.data(), rect.width, rect.height, rect.width * 4};
    }
    PixelView captureWindow(uint32_t) override { return capture({0, 0, 64, 48}, false); }
    // Composed pictures are darker, so that a test can tell them from whole screens.
    PixelView captureWindows(const PixelRect& rect, const std::vector<uint32_t>& windows, bool) override {
        composed = windows;
        pixels.assign(static_cast<size_t>(rect.width) * rect.height * 4, 0x20);
        return {pixels.data(), rect.width, rect.height, rect.width * 4};
    }
    std::vector<uint32_t> composed;  // the windows of the last composed picture
    std::optional<Clock::time_point> waitForChanges(const PixelRect&, Clock::time_point until) override {
        if (first) {
            first = false;
            return Clock::now();
        }
        std::this_thread::sleep_until(until);
        return std::nullopt;
    }
    void suppressScreenSaver(bool) override {}
    bool usable() const override { return true; }

private:
    bool first = true;
    std::vector<uint8_t> pixels;
};

class FakeWindows : public WindowSystem {
public:
    std::vector<WindowRecord> onScreenWindows() override { return records; }
    std::vector<WindowRecord> windowsOf(const std::vector<int32_t>&) override { return records; }
    std::optional<WindowRecord> window(uint32_t id) override {
        for (const auto& r : records) {
            if (r.id == id) return r;
        }
        return std::nullopt;
    }
    std::optional<AppRef> desktopShell() override { return std::nullopt; }
    std::optional<int32_t> activePid() override { return std::nullopt; }
    std::vector<AppRef> runningApps() override {
        std::vector<AppRef> apps;
        for (const auto& r : records) apps.push_back({r.pid, r.bundleId, r.name});
        return apps;
    }
    std::vector<WindowRecord> records;
};

class NoAccessibility : public Accessibility {
public:
    std::optional<AXNodeInfo> info(const AXElement&) override { return std::nullopt; }
    std::vector<AXElement> children(const AXElement&) override { return {}; }
    bool same(const AXElement& a, const AXElement& b) override { return a == b; }
    std::optional<std::vector<AXWindowInfo>> windows(int32_t) override { return std::nullopt; }
    AXElement focusedElement(int32_t) override { return nullptr; }
    std::optional<AXFocusInfo> focusInfo(int32_t) override { return std::nullopt; }
};

// A service over fakes, built but not started: one 640×480 display, one window of app
// "org.example.Editor", an injector that records, and encoders that always work.
struct FakeService {
    FakeDesktopSession* session;
    FakeDisplaySource* displays;
    FakeWindows* windows;
    FakeInjector* injector;
    FakePasteboard* pasteboard;
    std::unique_ptr<ScreenService> service;

    // `adjust` may replace the platform's parts before the service is built.
    explicit FakeService(const std::function<void(Platform&)>& adjust = {}) {
        auto s = std::make_unique<FakeDesktopSession>();
        auto d = std::make_unique<FakeDisplaySource>();
        auto w = std::make_unique<FakeWindows>();
        auto i = std::make_unique<FakeInjector>();
        auto p = std::make_unique<FakePasteboard>();
        pasteboard = p.get();
        session = s.get(), displays = d.get(), windows = w.get(), injector = i.get();
        MonitorRecord monitor;
        monitor.id = 1, monitor.width = 640, monitor.height = 480, monitor.primary = true;
        displays->set({monitor});
        WindowRecord editor;
        editor.pid = 4242, editor.bundleId = "org.example.Editor", editor.name = "Editor";
        editor.bounds = editor.content = Rect{64, 48, 320, 240};
        editor.id = editor.frame = 77;
        windows->records = {editor};
        Platform platform;
        platform.name = "fake";
        platform.session = std::move(s);
        platform.consoleLock = std::make_unique<FakeConsoleLock>();
        platform.displays = std::move(d);
        platform.makeCapturer = [] { return std::make_unique<SolidCapturer>(); };
        platform.windows = std::move(w);
        platform.accessibility = std::make_unique<NoAccessibility>();
        platform.injector = std::move(i);
        platform.makeEncoderSession = fakeEncoderFactory();
        platform.pasteboard = std::move(p);
        if (adjust) adjust(platform);
        ServiceSettings settings;
        settings.socketPath = "/nonexistent/screen.sock";
        settings.calibrateEncoders = false;
        service = std::make_unique<ScreenService>(std::move(settings), std::move(platform));
    }

    // One request through the API: (status, body) of what it answered, an HTTPError's
    // status and message included. `clientGone`: the client hung up after sending.
    std::pair<int, std::string> call(const std::string& method, const std::string& target, const std::string& body = "",
                                     bool clientGone = false) {
        HTTPRequest request;
        request.method = method;
        parseRequestTarget(target, request.path, request.query);
        request.body = body;
        auto transport = std::make_shared<FakeTransport>();
        transport->peerGone = clientGone;
        {
            Connection connection(transport);
            try {
                service->api().handle(request, connection);
            } catch (const HTTPError& e) {
                return {e.status, e.message};
            }
        }
        const std::string& sent = transport->sent;
        int status = sent.size() > 12 ? std::atoi(sent.c_str() + 9) : 0;
        size_t end = sent.find("\r\n\r\n");
        head = sent.substr(0, end);
        return {status, end == std::string::npos ? "" : sent.substr(end + 4)};
    }
    std::string head;  // the response head of the last call
};

}  // namespace tovo::test
