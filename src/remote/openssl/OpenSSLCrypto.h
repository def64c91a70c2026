#pragma once

#include "remote/Crypto.h"

#include <memory>

namespace tovo {

// Crypto over OpenSSL 3.
std::unique_ptr<Crypto> makeOpenSSLCrypto();

}  // namespace tovo
