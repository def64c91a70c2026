#pragma once

#include "remote/Crypto.h"

#include <cstdint>
#include <string>

namespace tovo {

// The service's own TLS identity: a P-256 key made once per installation and a self-signed
// certificate for it, renewed before it expires without changing the key, so that the
// fingerprint phones pinned stays valid.
struct TLSIdentity {
    std::string key;  // X9.63 private key, 97 bytes
    std::string certificateDER;
    std::string fingerprint;  // "sha256:" + hex of SHA-256 over the public point

    static constexpr const char* keyFile = "tls-key.der";
    static constexpr const char* certificateFile = "tls-cert.der";
    static constexpr const char* commonName = "Tovo Control";
    static constexpr int64_t renewBefore = 2592000;  // 30 days

    // Loads the identity kept in `directory`, making the key and the certificate as needed
    // (both written owner-only). `now` in Unix seconds. Throws std::runtime_error with the
    // reason ("TLS key: …", "TLS certificate: …", "TLS identity: …", "cannot write …").
    static TLSIdentity loadOrCreate(const std::string& directory, int64_t now, Crypto& crypto);
    // The identity of a key and a certificate; throws when they are unreadable or do not
    // belong together.
    static TLSIdentity make(const std::string& key, const std::string& certificateDER, Crypto& crypto);
    static std::string fingerprintOf(const std::string& publicPoint, Crypto& crypto);
};

// An X.509 v3 certificate for `key`, issued by and to `commonName`, valid from a day before
// `now` for 3650 days, with a random positive 16-byte serial, signed ECDSA-SHA256.
std::string makeSelfSignedCertificate(const std::string& key, const std::string& commonName, int64_t now,
                                      Crypto& crypto);

}  // namespace tovo
