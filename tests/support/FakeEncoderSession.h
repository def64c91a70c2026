#pragma once

#include "video/EncoderSession.h"

#include <memory>
#include <string>
#include <vector>

namespace tovo::test {

// What a FakeSession does, and what it was given. Read it from the thread that encodes.
struct Script {
    std::vector<int64_t> pts;
    std::vector<bool> forced;
    std::vector<int> bitrates;  // setBitrate calls
    int opened = 0;
    bool liveRate = true;
    EncoderOutput::Status next = EncoderOutput::Status::unit;
    int submitError = 0;
    int failures = 0;  // so many of the next pictures fail
};

// An encoder session whose behaviour a Script sets: units of a few bytes, keys when asked.
class FakeSession final : public EncoderSession {
public:
    explicit FakeSession(Script& script) : script(script) {}
    std::string encoderID() const override { return "fake"; }
    std::optional<bool> isHardware() const override { return std::nullopt; }
    std::string parameterSets() const override { return std::string("\0\0\0\1\x67p\0\0\0\1\x68q", 12); }
    bool setBitrate(int bps) override {
        script.bitrates.push_back(bps);
        return script.liveRate;
    }
    int submit(const VideoPicture&, int64_t pts, bool forceKey) override {
        script.pts.push_back(pts);
        script.forced.push_back(forceKey);
        key = forceKey;
        return script.submitError;
    }
    EncoderOutput receive() override {
        if (script.failures > 0) {
            --script.failures;
            return {EncoderOutput::Status::failed, {}, false, "scripted"};
        }
        if (script.next != EncoderOutput::Status::unit) return {script.next, {}, false, {}};
        return {EncoderOutput::Status::unit,
                std::string(key ? "\0\0\1\x65k"
                                : "\0\0\1\x41"
                                  "d",
                            5),
                key,
                {}};
    }
    EncoderOutput flush() override { return {}; }  // nothing came out

private:
    Script& script;
    bool key = false;
};

inline EncoderSessionFactory fakeFactory(Script& script) {
    return [&script](const EncoderSessionConfig&, std::string&) -> std::unique_ptr<EncoderSession> {
        ++script.opened;
        return std::make_unique<FakeSession>(script);
    };
}

}  // namespace tovo::test

namespace tovo::test {

// Sessions that always give a unit, sharing one script that lives as long as the factory.
inline EncoderSessionFactory fakeEncoderFactory() {
    auto script = std::make_shared<Script>();
    return [script](const EncoderSessionConfig&, std::string&) -> std::unique_ptr<EncoderSession> {
        return std::make_unique<FakeSession>(*script);
    };
}

}  // namespace tovo::test
