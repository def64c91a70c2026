#pragma once

#include "clipboard/Pasteboard.h"

#include <mutex>

namespace tovo::test {

// A clipboard held in memory; writes bump the change count like a new owner would.
class FakePasteboard : public Pasteboard {
public:
    int64_t changeCount() override {
        std::lock_guard<std::mutex> guard(lock);
        return count;
    }
    Offer offer() override {
        std::lock_guard<std::mutex> guard(lock);
        return current;
    }
    std::optional<std::string> png() override {
        std::lock_guard<std::mutex> guard(lock);
        ++pngReads;
        return image;
    }
    int64_t writeText(const std::string& text) override {
        std::lock_guard<std::mutex> guard(lock);
        current = Offer{{"UTF8_STRING"}, false, {}, text, false};
        image.reset();
        return ++count;
    }
    int64_t writeFiles(const std::vector<std::string>& paths, const std::optional<std::string>& type,
                       const std::string& data) override {
        std::lock_guard<std::mutex> guard(lock);
        current = Offer{{"text/uri-list"}, false, paths, std::nullopt, type.has_value()};
        if (type) image = data;
        return ++count;
    }
    void set(Offer offer, std::optional<std::string> png = std::nullopt) {
        std::lock_guard<std::mutex> guard(lock);
        current = std::move(offer);
        image = std::move(png);
        ++count;
    }

    std::mutex lock;  // guards everything below
    int64_t count = 1;
    Offer current;
    std::optional<std::string> image;
    int pngReads = 0;
};

}  // namespace tovo::test
