#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "http/ByteTransport.h"
#include "http/HTTPRequest.h"
#include "http/StreamWire.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tovo {

// One accepted connection: reads requests from its transport and writes responses. It is
// owned by the thread that serves it; only `peerClosed`/`endByServer` (guarded by
// `endLock`) may be used from another thread. Destroying it closes the transport.
class Connection {
public:
    // Thrown by readHead(idleIsQuiet = true) when the peer closed cleanly between requests.
    struct Idle {};

    // Limits of the request parser.
    static constexpr size_t headReceiveSize = 8192;
    static constexpr size_t maxHeadBytes = 65536;
    static constexpr size_t bodyReceiveSize = 65536;

    explicit Connection(std::shared_ptr<ByteTransport> transport, MonotonicClock clock = monotonicSeconds);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads one request head. Returns the request (empty body) and its Content-Length.
    // Throws HTTPError, or Idle when asked to and the peer closed with nothing buffered.
    // A head must be complete `headDeadline` seconds after its first byte, however slowly
    // it trickles in; a late one is refused as incomplete.
    std::pair<HTTPRequest, int64_t> readHead(bool idleIsQuiet = false);
    // Reads exactly `length` body bytes; throws 413 before reading when `length` > `max`.
    // When the head asked `Expect: 100-continue` and the body has not begun, the client is
    // told to go on first (curl otherwise waits a second before every upload).
    std::string readBody(int64_t length, int64_t max);
    // True from a head with a body until that body has been read: a response written
    // meanwhile closes the connection, so that unread bytes are never taken for a request.
    bool bodyUnread() const { return unreadBody; }

    using Headers = std::vector<std::pair<std::string, std::string>>;
    // Sends the status line, `headers` in order and the Connection header in one send.
    bool writeHead(int status, const Headers& headers, bool keepAlive);
    // Writes a complete JSON response (keys sorted); sets `reusable` when all was sent.
    void json(int status, nlohmann::json object);
    // Between sections of a streamed response: true when the stream must end (ended by the
    // server, or the peer hung up).
    bool peerClosed();
    // Marks the stream on this connection as ended by the server and calls the hook set by
    // `onEndedByServer`; thread-safe.
    void endByServer();
    bool isEndedByServer();
    // What wakes a stream handler waiting between sections when the server ends it. Called
    // on the thread that ends the stream, without the connection's lock.
    void onEndedByServer(std::function<void()> hook);

    static const char* reason(int status);

    const std::shared_ptr<ByteTransport> transport;
    bool persistent = false;  // the client may send another request after this one
    bool reusable = false;    // the last response went out whole and `persistent` was set
    std::string pending;      // bytes read past the last head or body
    StreamWire wire = StreamWire::legacy();
    double headDeadline = 10;  // seconds from a head's first byte to its end
    // True while the connection waits for (the rest of) a request, head or body: dropping
    // it now loses its client no work. Set by readHead, cleared once readBody has the whole
    // body; read by the server from its own thread.
    std::atomic<bool> awaitingRequest{true};

private:
    const MonotonicClock clock;
    bool unreadBody = false;       // the last head announced a body readBody has not taken
    bool expectsContinue = false;  // the last head asked for "100 Continue" before its body
    Mutex endLock;                 // guards endedByServer and endHook
    bool endedByServer TOVO_GUARDED_BY(endLock) = false;
    std::function<void()> endHook TOVO_GUARDED_BY(endLock);
};

}  // namespace tovo
