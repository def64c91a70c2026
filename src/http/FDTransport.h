#pragma once

#include "http/ByteTransport.h"

#include <atomic>

namespace tovo {

// ByteTransport over a connected socket descriptor, which it owns: close() shuts the socket
// down (waking a receive in progress on another thread) and the destructor closes the
// descriptor. Sends never raise SIGPIPE.
class FDTransport final : public ByteTransport {
public:
    explicit FDTransport(int fd) : fd(fd) {}
    ~FDTransport() override;
    FDTransport(const FDTransport&) = delete;
    FDTransport& operator=(const FDTransport&) = delete;

    std::string receive(size_t max) override;
    std::string receiveWithin(size_t max, double seconds) override;
    bool send(std::string_view data) override;
    bool hungUp() override;
    void close() override;
    void limitSendBuffer(size_t bytes) override;

    const int fd;

private:
    std::atomic<bool> closed{false};
};

}  // namespace tovo
