#pragma once

#include "service/ScreenHost.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace tovo::test {

// Collects every line the service logs while it lives, from any thread.
class LogCapture {
public:
    LogCapture() : previous(ScreenHost::logSink) {
        ScreenHost::logSink = [this](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock);
            captured.emplace_back(line);
        };
    }
    ~LogCapture() { ScreenHost::logSink = previous; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock);
        return captured;
    }
    int count(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<int>(std::count(captured.begin(), captured.end(), line));
    }

private:
    std::function<void(std::string_view)> previous;
    std::mutex lock;  // guards captured
    std::vector<std::string> captured;
};

}  // namespace tovo::test
