#pragma once

#include "remote/SecureListener.h"

namespace tovo {

// SecureListener over BSD sockets and OpenSSL 3: one IPv6 socket that also takes IPv4
// (falling back to IPv4 alone), TCP keep-alive after 30 s idle, no delay, TLS 1.3 minimum.
SecureListenerFactory tlsListenerFactory();

}  // namespace tovo
