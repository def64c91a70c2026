#pragma once

#include "base/Log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace tovo::test {

// Collects the service's log lines for as long as it lives.
class LogCapture {
public:
    LogCapture() {
        previous = setLogSink([this](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock);
            captured.emplace_back(line);
        });
    }
    ~LogCapture() { setLogSink(previous); }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock);
        return captured;
    }
    bool contains(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        return std::find(captured.begin(), captured.end(), line) != captured.end();
    }

private:
    LogSink previous;
    std::mutex lock;  // guards captured
    std::vector<std::string> captured;
};

}  // namespace tovo::test
