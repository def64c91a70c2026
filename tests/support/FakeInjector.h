#pragma once

#include "input/InputInjector.h"

#include <mutex>
#include <string>
#include <vector>

namespace tovo::test {

// Records what it was asked to post, one line per call ("move 10 20", "down left",
// "key 36 up", "mods 0x100000", "type abc", "wheel 1 0").
class FakeInjector : public InputInjector {
public:
    bool available() override { return true; }
    void setModifiers(uint64_t flags) override {
        if (flags == current) return;
        current = flags;
        record("mods " + hex(flags));
    }
    void moveTo(double x, double y) override { record("move " + number(x) + " " + number(y)); }
    void button(MouseButton b, bool down) override {
        record(std::string(down ? "down " : "up ") + (b == MouseButton::left ? "left" : "right"));
    }
    void key(Key k, bool down) override { record("key " + std::to_string(static_cast<uint32_t>(k)) + (down ? " down" : " up")); }
    void typeText(const std::string& text) override { record("type " + text); }
    void wheel(int vertical, int horizontal) override {
        record("wheel " + std::to_string(vertical) + " " + std::to_string(horizontal));
    }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> guard(lock);
        return log;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock);
        log.clear();
    }
    void record(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        log.push_back(line);
    }

private:
    static std::string hex(uint64_t v) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
        return text;
    }
    static std::string number(double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", v);
        return text;
    }
    std::mutex lock;  // guards log
    std::vector<std::string> log;
    uint64_t current = 0;
};

}  // namespace tovo::test
