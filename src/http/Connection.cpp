#include "http/Connection.h"

#include "base/Mutex.h"
#include "base/Text.h"
#include "base/Utf8.h"
#include "http/HTTPError.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

namespace tovo {
namespace {

constexpr std::string_view headEnd = "\r\n\r\n";

// Header names and values are trimmed of blanks only.
std::string_view trim(std::string_view s) { return trimmed(s, " \t"); }

std::string uppered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::toupper(c); });
    return out;
}

// Numbers that hold a whole value are written as integers (1920, not 1920.0), as clients
// expect; fractions are written as they are.
void wholeNumbersAsIntegers(nlohmann::json& value) {
    if (value.is_number_float()) {
        double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9.0e15) {
            value = static_cast<int64_t>(number);
        }
    } else if (value.is_structured()) {
        for (auto& item : value) wholeNumbersAsIntegers(item);
    }
}

}  // namespace

Connection::Connection(std::shared_ptr<ByteTransport> transport, MonotonicClock clock)
    : transport(std::move(transport)), clock(std::move(clock)) {}

Connection::~Connection() { transport->close(); }

std::pair<HTTPRequest, int64_t> Connection::readHead(bool idleIsQuiet) {
    reusable = false;
    awaitingRequest = true;
    std::string buffer = std::move(pending);
    pending.clear();

    size_t end = buffer.find(headEnd);
    std::optional<double> startedAt;
    if (!buffer.empty()) startedAt = clock();
    while (end == std::string::npos) {
        std::string chunk;
        if (!startedAt) {
            chunk = transport->receive(headReceiveSize);
            if (!chunk.empty()) startedAt = clock();
        } else {
            double left = *startedAt + headDeadline - clock();
            if (left > 0) chunk = transport->receiveWithin(headReceiveSize, left);
            if (*startedAt + headDeadline - clock() <= 0) chunk.clear();
        }
        if (chunk.empty()) {
            if (idleIsQuiet && buffer.empty()) throw Idle{};
            throw HTTPError(400, "connection closed before request was complete");
        }
        // Only the new bytes, and the three before them, can complete the terminator.
        size_t searchFrom = buffer.size() >= headEnd.size() - 1 ? buffer.size() - (headEnd.size() - 1) : 0;
        buffer += chunk;
        end = buffer.find(headEnd, searchFrom);
        if (end == std::string::npos && buffer.size() > maxHeadBytes) {
            throw HTTPError(431, "request headers too large");
        }
    }
    pending = buffer.substr(end + headEnd.size());
    std::string head = sanitizeUtf8(std::string_view(buffer).substr(0, end));

    std::vector<std::string_view> lines;
    std::string_view rest(head);
    for (;;) {
        size_t crlf = rest.find("\r\n");
        lines.push_back(rest.substr(0, crlf));
        if (crlf == std::string_view::npos) break;
        rest.remove_prefix(crlf + 2);
    }

    std::vector<std::string_view> parts;
    std::string_view requestLine = lines.front();
    while (!requestLine.empty()) {
        size_t space = requestLine.find(' ');
        std::string_view piece = requestLine.substr(0, space);
        if (!piece.empty()) parts.push_back(piece);
        if (space == std::string_view::npos) break;
        requestLine.remove_prefix(space + 1);
    }
    if (parts.size() != 3) throw HTTPError(400, "malformed request line");

    HTTPRequest request;
    request.method = uppered(parts[0]);
    // Every Content-Length must agree: where two parsers could pick different ones, a second
    // request hides in the first one's body.
    std::optional<int64_t> contentLength;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = lowercased(trim(lines[i].substr(0, colon)));
        std::string value(trim(lines[i].substr(colon + 1)));
        if (name == "content-length") {
            auto length = parseDecimalInteger(value);
            if (!length || *length < 0 || (contentLength && *contentLength != *length)) {
                throw HTTPError(400, "bad Content-Length");
            }
            contentLength = length;
        }
        request.headers[name] = std::move(value);
    }

    if (auto it = request.headers.find("transfer-encoding"); it != request.headers.end()) {
        if (lowercased(it->second) != "identity") throw HTTPError(400, "chunked request bodies are not supported");
    }
    parseRequestTarget(parts[1], request.path, request.query);
    unreadBody = contentLength.value_or(0) > 0;
    auto expect = request.headers.find("expect");
    expectsContinue = unreadBody && expect != request.headers.end() && lowercased(expect->second) == "100-continue";
    return {std::move(request), contentLength.value_or(0)};
}

std::string Connection::readBody(int64_t length, int64_t max) {
    if (max < length) throw HTTPError(413, "body too large");
    std::string buffer = std::move(pending);
    pending.clear();
    const auto wanted = static_cast<size_t>(length);
    if (expectsContinue && buffer.size() < wanted) {
        expectsContinue = false;
        if (!transport->send("HTTP/1.1 100 Continue\r\n\r\n"))
            throw HTTPError(400, "connection closed before body was complete");
    }
    while (buffer.size() < wanted) {
        std::string chunk = transport->receive(std::min(wanted - buffer.size(), bodyReceiveSize));
        if (chunk.empty()) throw HTTPError(400, "connection closed before body was complete");
        buffer += chunk;
    }
    pending = buffer.substr(wanted);
    buffer.resize(wanted);
    unreadBody = false;
    awaitingRequest = false;
    return buffer;
}

bool Connection::writeHead(int status, const Headers& headers, bool keepAlive) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return transport->send(head);
}

void Connection::json(int status, nlohmann::json object) {
    std::string body;
    try {
        wholeNumbersAsIntegers(object);
        // nlohmann's object type is a std::map, so keys come out sorted. Text that is not
        // UTF-8 is repaired rather than failing the whole answer.
        body = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        body = "{}";
    }
    Headers headers{{"Content-Type", "application/json"}, {"Content-Length", std::to_string(body.size())}};
    const bool keepAlive = persistent && !unreadBody;
    if (writeHead(status, headers, keepAlive) && transport->send(body)) reusable = keepAlive;
}

bool Connection::peerClosed() {
    {
        MutexLock guard(endLock);
        if (endedByServer) return true;
    }
    return transport->hungUp();
}

void Connection::endByServer() {
    std::function<void()> hook;
    {
        MutexLock guard(endLock);
        endedByServer = true;
        hook = endHook;
    }
    if (hook) hook();
}

void Connection::onEndedByServer(std::function<void()> hook) {
    MutexLock guard(endLock);
    endHook = std::move(hook);
}

bool Connection::isEndedByServer() {
    MutexLock guard(endLock);
    return endedByServer;
}

const char* Connection::reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

}  // namespace tovo
