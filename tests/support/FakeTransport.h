#pragma once

#include "http/ByteTransport.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovo::test {

// A transport that hands out scripted chunks and records what it was asked and sent.
// After the script runs out, receive() returns end of stream.
class FakeTransport : public ByteTransport {
public:
    FakeTransport() = default;
    explicit FakeTransport(std::vector<std::string> chunks) : chunks(chunks.begin(), chunks.end()) {}

    // Splits `bytes` into chunks whose sizes cycle through `sizes` (each at least 1).
    static std::vector<std::string> split(const std::string& bytes, const std::vector<size_t>& sizes) {
        std::vector<std::string> out;
        size_t at = 0, k = 0;
        while (at < bytes.size()) {
            size_t n = std::max<size_t>(1, sizes[k++ % sizes.size()]);
            out.push_back(bytes.substr(at, n));
            at += n;
        }
        return out;
    }

    std::string receive(size_t max) override { return receiveWithin(max, std::nullopt); }
    std::string receiveWithin(size_t max, double seconds) override {
        return receiveWithin(max, std::optional<double>(seconds));
    }
    std::string receiveWithin(size_t max, std::optional<double> seconds) {
        if (beforeReceive) beforeReceive(seconds);
        maxAsked.push_back(max);
        if (chunks.empty()) return {};
        std::string& front = chunks.front();
        std::string out = front.substr(0, max);
        front.erase(0, out.size());
        if (front.empty()) chunks.pop_front();
        return out;
    }
    bool send(std::string_view data) override {
        sent.append(data);
        return true;
    }
    bool hungUp() override { return peerGone; }
    void close() override { ++closeCalls; }

    // Called before each receive with its time limit (none for a plain receive).
    std::function<void(std::optional<double>)> beforeReceive;
    std::deque<std::string> chunks;
    std::string sent;
    std::vector<size_t> maxAsked;
    int closeCalls = 0;
    bool peerGone = false;
};

}  // namespace tovo::test
