#pragma once

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tovo {

using EVPKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

inline EVPKey makeEVPKey(EVP_PKEY* key) { return EVPKey(key, EVP_PKEY_free); }

// A P-256 private key from its 97 X9.63 bytes (0x04, X, Y, scalar); empty when they are not
// one, or when the scalar does not give that public point.
EVPKey keyFromBytes(std::string_view bytes);
// The 97 X9.63 bytes of a P-256 private key.
std::string privateKeyBytes(EVP_PKEY* key);
// The 65-byte uncompressed public point of a P-256 key.
std::optional<std::string> publicPointOf(EVP_PKEY* key);

}  // namespace tovo
