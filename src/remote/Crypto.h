#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovo {

// The cryptography remote access needs, behind a small interface so that the identity,
// pairing and token logic stay portable. Keys are P-256 in their X9.63 forms: a private key
// is 97 bytes (0x04, X, Y, scalar), a public point 65 bytes (0x04, X, Y). All byte strings
// are held in std::string. Callable from any thread.
class Crypto {
public:
    virtual ~Crypto() = default;

    // `n` bytes from the system's secure random generator.
    virtual std::string randomBytes(size_t n) = 0;
    virtual std::string sha256(std::string_view data) = 0;
    // A new P-256 signing key.
    virtual std::string newKey() = 0;
    // The public point of a private key; none when the bytes are not a valid P-256 key.
    virtual std::optional<std::string> publicPoint(std::string_view privateKey) = 0;
    // An ECDSA P-256 signature over SHA-256 of `message`, DER-encoded. Throws
    // std::runtime_error when the key is unusable.
    virtual std::string sign(std::string_view privateKey, std::string_view message) = 0;

    struct Certificate {
        std::string publicPoint;  // the subject key, uncompressed
        int64_t notAfter = 0;     // Unix seconds
    };
    // Reads a DER certificate whose key is a P-256 key; none when it cannot be read.
    virtual std::optional<Certificate> readCertificate(std::string_view der) = 0;
};

// Lower-case hexadecimal digits of `bytes`.
std::string hexDigits(std::string_view bytes);
// `bytes` in base64url without padding (standard Base64 with "+" → "-", "/" → "_").
std::string base64url(std::string_view bytes);
// Equal lengths and equal bytes, in time that depends only on the lengths.
bool constantTimeEqual(std::string_view a, std::string_view b);

}  // namespace tovo
