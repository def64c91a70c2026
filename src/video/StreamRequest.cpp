#include "video/StreamRequest.h"

#include "base/Text.h"

#include <algorithm>
#include <cmath>

namespace tovo {
namespace {

// The comma-separated words of `text`, trimmed and lower-cased.
std::vector<std::string> wordList(std::string_view text) {
    std::vector<std::string> words;
    for (auto piece : splitOn(text, ',')) words.push_back(lowercased(trimmed(piece)));
    return words;
}

int evenDown(int value) { return value - value % 2; }

}  // namespace

namespace StreamCodecs {

std::vector<std::string> parse(const std::optional<std::string>& text) {
    std::vector<std::string> out;
    if (!text) return out;
    for (const auto& name : wordList(*text)) {
        if (videoCodecNamed(name) && std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    }
    return out;
}

std::set<VideoCodec> serverAllowed(const char* variable) {
    std::set<VideoCodec> allowed;
    if (variable) {
        for (const auto& name : wordList(variable)) {
            if (auto codec = videoCodecNamed(name)) allowed.insert(*codec);
        }
    }
    if (allowed.empty()) allowed = {VideoCodec::h264, VideoCodec::hevc};
    return allowed;
}

std::optional<VideoCodec> choose(const std::vector<std::string>& client, const std::set<VideoCodec>& allowed,
                                 const std::function<bool(VideoCodec)>& available) {
    std::vector<VideoCodec> candidates;
    for (const auto& name : client) {
        if (auto codec = videoCodecNamed(name)) candidates.push_back(*codec);
    }
    candidates.push_back(VideoCodec::h264);
    candidates.push_back(VideoCodec::hevc);
    for (VideoCodec codec : candidates) {
        if (allowed.count(codec) && available(codec)) return codec;
    }
    return std::nullopt;
}

}  // namespace StreamCodecs

int videoMaxWidth(const char* variable) {
    std::optional<int64_t> value;
    if (variable) value = parseDecimalInteger(variable);
    return static_cast<int>(std::clamp<int64_t>(value.value_or(1600), 320, 3840));
}

int streamWidth(const StreamWidthInputs& in) {
    const int R = in.requested, P = in.pixelWidth;
    int W;
    if (in.serverMax) {
        W = std::min(R, *in.serverMax);
    } else {
        int T = 2 * P / 3;
        int B = std::max(in.serverMaxValue, T);
        W = (B <= 2560 || P < 2560) ? std::min(evenDown(std::min(B, P)), R) : std::min(R, 2560);
    }
    if (in.prefersAbove1080p) {
        int limit = std::min(R, 2048);
        for (int c = std::max(16, evenDown(W)); c <= limit; c += 2) {
            int w = evenDown(std::max(2, std::min(P, c)));
            int h = evenDown(
                std::max(2, static_cast<int>(std::floor(in.pointsHeight * w / std::max(in.pointsWidth, 1.0)))));
            if (w < c) break;
            if (static_cast<int64_t>(w) * h > 1920 * 1080) {
                W = w;
                break;
            }
        }
    }
    return W;
}

}  // namespace tovo
