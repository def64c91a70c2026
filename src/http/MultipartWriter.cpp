#include "http/MultipartWriter.h"

namespace tovo {

std::optional<uint64_t> MultipartWriter::write(const std::string& contentType, std::string_view body,
                                               std::optional<std::pair<int, int>> size,
                                               std::optional<double> publishedAt, const std::string& kind,
                                               const std::optional<std::string>& codec) {
    uint64_t number = ++seq;
    if (!transport.send(streamPart(contentType, body, size, number, publishedAt, kind, codec, dialect.boundary))) {
        return std::nullopt;
    }
    return number;
}

}  // namespace tovo
