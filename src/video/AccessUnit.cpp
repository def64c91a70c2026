#include "video/AccessUnit.h"

namespace tovo {

std::vector<std::string_view> splitAnnexB(std::string_view s) {
    std::vector<std::string_view> nals;
    // Positions just past each start code (00 00 01, possibly preceded by more zeros).
    size_t i = 0, start = std::string_view::npos;
    auto finish = [&](size_t end) {
        if (start == std::string_view::npos) return;
        // Trailing zeros belong to the next start code (or are padding).
        while (end > start && s[end - 1] == 0) --end;
        if (end > start) nals.push_back(s.substr(start, end - start));
    };
    while (i + 2 < s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            finish(i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    finish(s.size());
    return nals;
}

int nalType(VideoCodec codec, std::string_view nal) {
    if (nal.empty()) return -1;
    auto first = static_cast<unsigned char>(nal[0]);
    return codec == VideoCodec::h264 ? (first & 0x1F) : ((first >> 1) & 0x3F);
}

bool isParameterSet(VideoCodec codec, std::string_view nal) {
    int type = nalType(codec, nal);
    if (codec == VideoCodec::h264) return type == 7 || type == 8;
    return type == 32 || type == 33 || type == 34;
}

std::optional<std::string> packAccessUnit(VideoCodec codec, std::string_view encoded, bool isKey,
                                          std::string_view parameterSets) {
    static constexpr std::string_view startCode("\0\0\0\1", 4);
    auto nals = splitAnnexB(encoded);
    if (nals.empty()) return std::nullopt;

    std::string out;
    out.reserve(encoded.size() + parameterSets.size() + 16);
    auto put = [&](std::string_view nal) {
        out += startCode;
        out += nal;
    };
    bool hasSets = false;
    for (auto nal : nals) hasSets = hasSets || isParameterSet(codec, nal);
    if (isKey && !hasSets) {
        for (auto nal : splitAnnexB(parameterSets)) {
            if (isParameterSet(codec, nal)) put(nal);
        }
    }
    if (isKey && hasSets) {
        // Parameter sets lead, whatever else the encoder put before them (an access unit
        // delimiter, SEI).
        for (auto nal : nals) {
            if (isParameterSet(codec, nal)) put(nal);
        }
        for (auto nal : nals) {
            if (!isParameterSet(codec, nal)) put(nal);
        }
    } else {
        for (auto nal : nals) put(nal);
    }
    return out;
}

}  // namespace tovo
