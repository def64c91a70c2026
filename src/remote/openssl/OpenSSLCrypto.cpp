#include "remote/openssl/OpenSSLCrypto.h"

#include "remote/openssl/OpenSSLKeys.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <ctime>
#include <stdexcept>

namespace tovo {
namespace {

class OpenSSLCrypto final : public Crypto {
public:
    std::string randomBytes(size_t n) override {
        std::string out(n, '\0');
        if (n > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) {
            throw std::runtime_error("no secure random bytes");
        }
        return out;
    }

    std::string sha256(std::string_view data) override {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
        return std::string(reinterpret_cast<char*>(digest), size);
    }

    std::string newKey() override {
        EVPKey key = makeEVPKey(EVP_EC_gen("P-256"));
        if (!key) throw std::runtime_error("TLS key: cannot generate a P-256 key");
        return privateKeyBytes(key.get());
    }

    std::optional<std::string> publicPoint(std::string_view privateKey) override {
        EVPKey key = keyFromBytes(privateKey);
        if (!key) return std::nullopt;
        return publicPointOf(key.get());
    }

    std::string sign(std::string_view privateKey, std::string_view message) override {
        EVPKey key = keyFromBytes(privateKey);
        if (!key) throw std::runtime_error("TLS key: unreadable");
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        size_t size = 0;
        if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
            EVP_DigestSign(context.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(message.data()),
                           message.size()) != 1) {
            throw std::runtime_error("TLS key: cannot sign");
        }
        std::string signature(size, '\0');
        if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
            throw std::runtime_error("TLS key: cannot sign");
        }
        signature.resize(size);
        return signature;
    }

    std::optional<Certificate> readCertificate(std::string_view der) override {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        std::unique_ptr<X509, decltype(&X509_free)> certificate(
            d2i_X509(nullptr, &bytes, static_cast<long>(der.size())), X509_free);
        if (!certificate) return std::nullopt;
        EVP_PKEY* key = X509_get0_pubkey(certificate.get());
        if (!key) return std::nullopt;
        auto point = publicPointOf(key);
        std::tm notAfter{};
        if (!point || ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &notAfter) != 1) return std::nullopt;
        return Certificate{*point, static_cast<int64_t>(timegm(&notAfter))};
    }
};

}  // namespace

std::unique_ptr<Crypto> makeOpenSSLCrypto() { return std::make_unique<OpenSSLCrypto>(); }

}  // namespace tovo
