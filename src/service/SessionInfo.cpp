#include "service/SessionInfo.h"

#include "platform/DesktopSession.h"

#include <mutex>

namespace tovo::SessionInfo {

namespace {

std::mutex replacementLock;  // guards replacement
std::shared_ptr<DesktopSession> replacement;

}  // namespace

DesktopSession& desktop() {
    {
        std::lock_guard<std::mutex> guard(replacementLock);
        if (replacement) return *replacement;
    }
    static const std::unique_ptr<DesktopSession> shared = DesktopSession::create();
    return *shared;
}

void replaceDesktop(std::shared_ptr<DesktopSession> desktop) {
    std::lock_guard<std::mutex> guard(replacementLock);
    replacement = std::move(desktop);
}

bool current() { return desktop().reachable(); }

}  // namespace tovo::SessionInfo
