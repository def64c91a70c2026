// Feeds arbitrary bytes to the request reader, split into chunks whose sizes come from the
// input itself, and reads requests until the stream ends or an error is thrown.
#include "http/Connection.h"
#include "http/HTTPError.h"
#include "support/FakeTransport.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // First byte: chunk size pattern; second: body maximum and idle flag.
    std::vector<size_t> sizes = {static_cast<size_t>(data[0] % 17) + 1, static_cast<size_t>(data[0] / 17) + 1};
    const int64_t maxBody = data[1] & 0x7F;
    const bool idleIsQuiet = data[1] & 0x80;
    std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    auto transport = std::make_shared<tovo::test::FakeTransport>(tovo::test::FakeTransport::split(bytes, sizes));
    tovo::Connection connection(transport);
    size_t consumed = 0;
    try {
        for (int i = 0; i < 8; ++i) {
            auto [request, length] = connection.readHead(idleIsQuiet);
            if (request.method.empty() || length < 0) __builtin_trap();
            std::string body = connection.readBody(length, maxBody);
            if (static_cast<int64_t>(body.size()) != length) __builtin_trap();
            consumed += body.size();
            connection.json(200, {{"path", request.path}, {"query", request.query}, {"headers", request.headers}});
        }
    } catch (const tovo::HTTPError& error) {
        connection.json(error.status, {{"error", error.message}});
    } catch (const tovo::Connection::Idle&) {}
    if (consumed > bytes.size()) __builtin_trap();
    return 0;
}
