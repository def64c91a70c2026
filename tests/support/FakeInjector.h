#pragma once

#include "input/InputInjector.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace tovo::test {

// Records what it was asked to post, one line per call ("move 10 20", "down left",
// "key 65536 up", "mods 0x100000", "type abc", "wheel 1 0").
class FakeInjector : public InputInjector {
public:
    void setModifiers(uint64_t flags) override {
        if (flags == current) return;
        current = flags;
        record("mods 0x%llx", static_cast<unsigned long long>(flags));
    }
    void moveTo(double x, double y) override { record("move %g %g", x, y); }
    void button(MouseButton b, bool down) override {
        record("%s %s", down ? "down" : "up",
               b == MouseButton::left    ? "left"
               : b == MouseButton::right ? "right"
                                         : "middle");
    }
    void key(Key k, bool down) override { record("key %u %s", static_cast<unsigned>(k), down ? "down" : "up"); }
    void typeText(const std::string& text) override { record("type %s", text.c_str()); }
    void wheel(int vertical, int horizontal) override { record("wheel %d %d", vertical, horizontal); }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> guard(lock);
        return log;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock);
        log.clear();
    }

private:
    template <typename... Args>
    void record(const char* format, Args... args) {
        char line[256];
        std::snprintf(line, sizeof line, format, args...);
        std::lock_guard<std::mutex> guard(lock);
        log.emplace_back(line);
    }
    std::mutex lock;  // guards log
    std::vector<std::string> log;
    uint64_t current = 0;
};

}  // namespace tovo::test
