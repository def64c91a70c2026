#pragma once

#include "capture/Displays.h"
#include "platform/DesktopSession.h"
#include "platform/DisplaySource.h"
#include "service/SessionInfo.h"

#include <atomic>
#include <memory>
#include <vector>

namespace tovo::test {

// A desktop whose session, grants and monitors the test sets.
class FakeDesktopSession : public DesktopSession {
public:
    bool reachable() override { return loggedIn; }
    bool canCaptureScreen() override { return capture; }
    bool canInjectInput() override { return input; }
    std::atomic<bool> loggedIn{true}, capture{true}, input{true};
};

class FakeDisplaySource : public DisplaySource {
public:
    std::vector<MonitorRecord> monitors() override { return list; }
    bool asleep() override { return false; }
    void declareUserActivity() override {}
    std::vector<MonitorRecord> list;
};

// Installs both fakes for the life of the object.
struct FakeDesktop {
    std::shared_ptr<FakeDesktopSession> session = std::make_shared<FakeDesktopSession>();
    std::shared_ptr<FakeDisplaySource> displays = std::make_shared<FakeDisplaySource>();

    explicit FakeDesktop(int width = 640, int height = 480) {
        MonitorRecord monitor;
        monitor.id = 1;
        monitor.width = width;
        monitor.height = height;
        monitor.primary = true;
        displays->list = {monitor};
        SessionInfo::replaceDesktop(session);
        Displays::setSource(displays);
    }
    ~FakeDesktop() {
        SessionInfo::replaceDesktop(nullptr);
        Displays::setSource(nullptr);
    }
};

}  // namespace tovo::test
