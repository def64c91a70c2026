#pragma once

#include "http/ByteTransport.h"
#include "http/StreamWire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovo {

// Writes the sections of one streamed response in its dialect, numbering them from 1 in
// the order they are written. Used on the connection's thread only; the transport outlives it.
class MultipartWriter {
public:
    MultipartWriter(ByteTransport& transport, StreamWire wire) : transport(transport), dialect(std::move(wire)) {}

    const StreamWire& wire() const { return dialect; }
    // Sends one section (see streamPart); its number, or none when the write failed. A
    // failed section still uses up its number.
    std::optional<uint64_t> write(const std::string& contentType, std::string_view body,
                                  std::optional<std::pair<int, int>> size, std::optional<double> publishedAt,
                                  const std::string& kind, const std::optional<std::string>& codec = std::nullopt);

private:
    ByteTransport& transport;
    const StreamWire dialect;
    uint64_t seq = 0;
};

}  // namespace tovo
