#include "audio/OpusPacketEncoder.h"

#include "base/Log.h"

#include <opus/opus.h>

namespace tovo {

std::unique_ptr<OpusPacketEncoder> OpusPacketEncoder::make(int bitRate) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(sampleRate, 2, OPUS_APPLICATION_AUDIO, &error);
    if (!encoder || error != OPUS_OK) return nullptr;
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(bitRate));
    auto made = std::unique_ptr<OpusPacketEncoder>(new OpusPacketEncoder(encoder));
    opus_int32 lookahead = 0;
    opus_encoder_ctl(encoder, OPUS_GET_LOOKAHEAD(&lookahead));
    made->lookahead = lookahead;
    // OpusHead: magic, version 1, 2 channels, pre-skip, input rate, gain 0, mapping 0.
    std::string& h = made->head;
    h = "OpusHead";
    h += static_cast<char>(1);
    h += static_cast<char>(2);
    h += static_cast<char>(lookahead & 0xFF);
    h += static_cast<char>((lookahead >> 8) & 0xFF);
    for (int shift = 0; shift < 32; shift += 8) h += static_cast<char>((sampleRate >> shift) & 0xFF);
    h += std::string(3, '\0');
    return made;
}

OpusPacketEncoder::OpusPacketEncoder(OpusEncoder* encoder) : encoder(encoder), interleaved(frames * 2) {}

OpusPacketEncoder::~OpusPacketEncoder() { opus_encoder_destroy(encoder); }

std::string OpusPacketEncoder::encode(const float* left, const float* right) {
    for (int i = 0; i < frames; ++i) {
        interleaved[static_cast<size_t>(i) * 2] = left[i];
        interleaved[static_cast<size_t>(i) * 2 + 1] = right[i];
    }
    std::string packet(1500, '\0');
    int n = opus_encode_float(encoder, interleaved.data(), frames, reinterpret_cast<unsigned char*>(packet.data()),
                              static_cast<opus_int32>(packet.size()));
    if (n < 0) {
        log(std::string("audio: Opus encode failed: ") + opus_strerror(n));
        return {};
    }
    packet.resize(static_cast<size_t>(n));
    return packet;
}

}  // namespace tovo
