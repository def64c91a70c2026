#pragma once

#include "remote/TLSIdentity.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tovo {

// One TLS connection of the remote listener, after its handshake. Owned by the thread that
// serves it; close() may also be called from another thread.
class SecureStream {
public:
    virtual ~SecureStream() = default;
    // Up to `max` bytes, waiting at most `seconds`; empty at end of stream, on time-out or
    // failure.
    virtual std::string receive(size_t max, double seconds) = 0;
    // Every byte or false; a peer that takes nothing for 30 s fails it.
    virtual bool send(std::string_view data) = 0;
    // Non-blocking: the peer has closed or the connection failed.
    virtual bool hungUp() = 0;
    // Idempotent; wakes a receive in progress.
    virtual void close() = 0;
    // The peer's address as text (IPv4-mapped addresses as plain IPv4).
    virtual std::string peer() const = 0;
};

// A TCP listener on every address (IPv4 and IPv6) that speaks TLS 1.3 or later with the
// service's identity, one thread per connection.
class SecureListener {
public:
    struct Handlers {
        // On the accept thread, before the handshake, with the peer's address and what ends
        // this connection from any thread (safe to call after it has ended). Returns the
        // connection's ticket, or none to close it at once.
        std::function<std::optional<uint64_t>(const std::string& peer, std::function<void()> end)> admit;
        // On the connection's thread: the handshake failed, took more than 10 s or was ended.
        std::function<void(uint64_t ticket)> handshakeFailed;
        // On the connection's thread, after the handshake; returns when it is done.
        std::function<void(uint64_t ticket, std::unique_ptr<SecureStream>)> serve;
    };
    static constexpr double handshakeDeadline = 10;

    virtual ~SecureListener() = default;
    // Listens on `port` (0: any free one) and returns the port it got; throws
    // std::runtime_error with the reason.
    virtual uint16_t start(uint16_t port, const TLSIdentity& identity, Handlers handlers) = 0;
    // Stops accepting, ends every connection and waits for their threads. Idempotent.
    virtual void stop() = 0;
};

using SecureListenerFactory = std::function<std::unique_ptr<SecureListener>()>;

// DNS-SD publication of the remote listener on the local network.
class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;
    // Publishes (or re-publishes) `_tovocontrol._tcp` named `name` on `port` with `txt`.
    virtual void publish(const std::string& name, uint16_t port, const std::map<std::string, std::string>& txt) = 0;
    virtual void withdraw() = 0;
    // The computer's name on the local network, when the advertiser knows it.
    virtual std::optional<std::string> hostName() = 0;
};

}  // namespace tovo
