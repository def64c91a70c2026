#include "remote/TLSIdentity.h"

#include "remote/Der.h"
#include "remote/PrivateFile.h"

#include <stdexcept>

namespace tovo {

std::string makeSelfSignedCertificate(const std::string& key, const std::string& commonName, int64_t now,
                                      Crypto& crypto) {
    auto point = crypto.publicPoint(key);
    if (!point) throw std::runtime_error("TLS key: unreadable");
    std::string serial = crypto.randomBytes(16);
    // Positive and exactly 16 bytes long.
    serial[0] = static_cast<char>((static_cast<uint8_t>(serial[0]) & 0x7F) | 0x01);
    const std::string ecdsaWithSHA256 = DER::sequence({DER::oid({1, 2, 840, 10045, 4, 3, 2})});
    const std::string name = DER::sequence(
        {DER::sequence({DER::sequence({DER::oid({2, 5, 4, 3}), DER::utf8String(commonName)})}, DER::setTag)});
    const std::string tbs = DER::sequence({
        DER::explicitTag(0, DER::smallInteger(2)),
        DER::integer(serial),
        ecdsaWithSHA256,
        name,
        DER::sequence({DER::time(now - 86400), DER::time(now + 315360000)}),
        name,
        DER::sequence({DER::sequence({DER::oid({1, 2, 840, 10045, 2, 1}), DER::oid({1, 2, 840, 10045, 3, 1, 7})}),
                       DER::bitString(*point)}),
    });
    return DER::sequence({tbs, ecdsaWithSHA256, DER::bitString(crypto.sign(key, tbs))});
}

std::string TLSIdentity::fingerprintOf(const std::string& publicPoint, Crypto& crypto) {
    return "sha256:" + hexDigits(crypto.sha256(publicPoint));
}

TLSIdentity TLSIdentity::make(const std::string& key, const std::string& certificateDER, Crypto& crypto) {
    auto point = crypto.publicPoint(key);
    if (!point) throw std::runtime_error("TLS key: unreadable");
    auto certificate = crypto.readCertificate(certificateDER);
    if (!certificate) throw std::runtime_error("TLS certificate: unreadable");
    if (certificate->publicPoint != *point)
        throw std::runtime_error("TLS identity: the key does not match the certificate");
    return TLSIdentity{key, certificateDER, fingerprintOf(*point, crypto)};
}

TLSIdentity TLSIdentity::loadOrCreate(const std::string& directory, int64_t now, Crypto& crypto) {
    const std::string keyPath = directory + "/" + keyFile;
    const std::string certificatePath = directory + "/" + certificateFile;
    std::optional<std::string> key = readWholeFile(keyPath);
    if (key && !crypto.publicPoint(*key)) key.reset();
    const bool newKey = !key;
    if (key) {
        if (auto stored = readWholeFile(certificatePath)) {
            try {
                TLSIdentity identity = make(*key, *stored, crypto);
                auto certificate = crypto.readCertificate(*stored);
                if (certificate && certificate->notAfter - now > renewBefore) return identity;
            } catch (const std::runtime_error&) {
                // Unreadable or another key's: a new certificate for this key follows.
            }
        }
    } else {
        key = crypto.newKey();
    }
    std::string certificate = makeSelfSignedCertificate(*key, commonName, now, crypto);
    if (newKey) writePrivate(*key, keyPath);
    writePrivate(certificate, certificatePath);
    return make(*key, certificate, crypto);
}

}  // namespace tovo
