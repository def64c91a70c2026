#include "http/StreamWire.h"

#include "base/Text.h"

#include <cmath>

namespace tovo {

StreamWire StreamWire::negotiate(const std::optional<std::string>& accept, const std::string& type) {
    if (accept) {
        for (auto item : splitOn(*accept, ',')) {
            if (lowercased(trimmed(item.substr(0, item.find(';')), " \t")) == lowercased(type)) return current();
        }
    }
    return legacy();
}

}  // namespace tovo

namespace tovo {

std::string streamPart(const std::string& contentType, std::string_view body, std::optional<std::pair<int, int>> size,
                       uint64_t seq, std::optional<double> publishedAt, const std::string& kind,
                       const std::optional<std::string>& codec, const std::string& boundary) {
    std::string head = "--" + boundary + "\r\nContent-Type: " + contentType +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (size) {
        head += "X-Frame-Width: " + std::to_string(size->first) +
                "\r\nX-Frame-Height: " + std::to_string(size->second) + "\r\n";
    }
    head += "X-Frame-Seq: " + std::to_string(seq) + "\r\n";
    if (publishedAt)
        head += "X-Frame-Time: " + std::to_string(static_cast<int64_t>(std::llround(*publishedAt))) + "\r\n";
    head += "X-Frame-Kind: " + kind + "\r\n";
    if (codec) head += "X-Stream-Codec: " + *codec + "\r\n";
    head += "\r\n";
    std::string part;
    part.reserve(head.size() + body.size() + 2);
    part += head;
    part += body;
    part += "\r\n";
    return part;
}

}  // namespace tovo
