#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct OpusEncoder;

namespace tovo {

// libopus at 48 kHz stereo, 960-frame (20 ms) packets, for music at a fixed bit rate. The
// "cookie" clients get is the OpusHead identification header (RFC 7845), which carries the
// encoder's pre-skip (its lookahead, the priming frames).
class OpusPacketEncoder {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int frames = 960;

    // None when libopus refuses.
    static std::unique_ptr<OpusPacketEncoder> make(int bitRate);
    ~OpusPacketEncoder();

    // One packet from 960 frames of each channel; empty when encoding failed.
    std::string encode(const float* left, const float* right);
    const std::string& cookie() const { return head; }
    int primingFrames() const { return lookahead; }

private:
    explicit OpusPacketEncoder(OpusEncoder* encoder);
    OpusEncoder* const encoder;
    int lookahead = 0;
    std::string head;
    std::vector<float> interleaved;
};

}  // namespace tovo
