#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovo {

// A byte stream a Connection runs over. One instance per connection; the connection's
// thread is the only caller of receive/send, while hungUp and close may also be called
// from the thread that ends a stream.
class ByteTransport {
public:
    virtual ~ByteTransport() = default;

    // Blocks until at least one byte is there and returns at most `max` bytes. An empty
    // result means end of stream, time-out or failure; callers treat all three alike.
    virtual std::string receive(size_t max) = 0;
    // As receive, but gives up with the empty result once `seconds` pass without a byte.
    // A transport that cannot bound one receive keeps its own time-out instead.
    virtual std::string receiveWithin(size_t max, double seconds) {
        (void)seconds;
        return receive(max);
    }
    // Writes every byte or fails; true only when all were written. Empty data is true.
    virtual bool send(std::string_view data) = 0;
    // Non-blocking: true when the peer has closed or the transport is in error.
    virtual bool hungUp() = 0;
    // Idempotent.
    virtual void close() = 0;
    // Asks for at most about `bytes` of unsent data to be buffered below the transport, so
    // that a reader that stops shows up as a failed or slow send soon. A hint; the default
    // does nothing.
    virtual void limitSendBuffer(size_t bytes) { (void)bytes; }
};

}  // namespace tovo
