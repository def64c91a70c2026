// The DER encoder, the TLS identity kept on disk, and the owner-only atomic writer.
#include "remote/Der.h"
#include "remote/PrivateFile.h"
#include "remote/TLSIdentity.h"
#include "remote/openssl/OpenSSLCrypto.h"
#include "support/Process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

using namespace tovo;
using namespace tovo::test;

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

int modeOf(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

}  // namespace

TEST(Der, EncodesTheCertificateTypes) {
    EXPECT_EQ(DER::integer(bytes({0, 0, 0x80})), bytes({0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(DER::integer(""), bytes({0x02, 0x01, 0x00}));
    EXPECT_EQ(DER::tlv(0x04, std::string(200, 'x')).substr(0, 3), bytes({0x04, 0x81, 0xC8}));
    EXPECT_EQ(DER::tlv(0x04, std::string(300, 'x')).substr(0, 4), bytes({0x04, 0x82, 0x01, 0x2C}));
    EXPECT_EQ(DER::oid({1, 2, 840, 10045, 4, 3, 2}),
              bytes({0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}));
    // 2049-12-31 23:59:59 and 2050-01-01 00:00:00 UTC.
    EXPECT_EQ(DER::time(2524607999),
              "\x17\x0d"
              "491231235959Z");
    EXPECT_EQ(DER::time(2524608000),
              "\x18\x0f"
              "20500101000000Z");
}

TEST(TLSIdentity, KeptRenewedAndReplacedAsNeeded) {
    TempDir home;
    auto crypto = makeOpenSSLCrypto();
    const int64_t now = 1800000000;
    const std::string keyPath = home.path() + "/tls-key.der", certPath = home.path() + "/tls-cert.der";

    TLSIdentity first = TLSIdentity::loadOrCreate(home.path(), now, *crypto);
    EXPECT_EQ(first.fingerprint.size(), 7u + 64u);
    EXPECT_EQ(readWholeFile(keyPath)->size(), 97u);
    EXPECT_EQ(modeOf(keyPath), 0600);
    EXPECT_EQ(modeOf(certPath), 0600);
    auto certificate = crypto->readCertificate(first.certificateDER);
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->notAfter, now + 315360000);

    // Kept as it is while it is valid for more than 30 days.
    EXPECT_EQ(TLSIdentity::loadOrCreate(home.path(), now + 86400, *crypto).certificateDER, first.certificateDER);

    // 29 days before expiry: a new certificate for the same key.
    TLSIdentity renewed = TLSIdentity::loadOrCreate(home.path(), now + 315360000 - 29 * 86400, *crypto);
    EXPECT_NE(renewed.certificateDER, first.certificateDER);
    EXPECT_EQ(renewed.fingerprint, first.fingerprint);
    EXPECT_EQ(*readWholeFile(keyPath), first.key);

    // Another key's certificate is replaced; an unreadable key is replaced with both files.
    writePrivate(makeSelfSignedCertificate(crypto->newKey(), "Other", now, *crypto), certPath);
    EXPECT_EQ(TLSIdentity::loadOrCreate(home.path(), now, *crypto).fingerprint, first.fingerprint);
    writePrivate("not a key", keyPath);
    TLSIdentity fresh = TLSIdentity::loadOrCreate(home.path(), now, *crypto);
    EXPECT_NE(fresh.fingerprint, first.fingerprint);
    EXPECT_EQ(*readWholeFile(keyPath), fresh.key);
    EXPECT_EQ(*readWholeFile(certPath), fresh.certificateDER);
}

// A writer killed at any moment leaves the old file or the new one, whole.
TEST(PrivateFile, AKilledWriterLeavesAWholeFile) {
    TempDir dir;
    const std::string path = dir.path() + "/devices.json";
    const std::string a(200000, 'a'), b(300000, 'b');
    writePrivate(a, path);
    for (int round = 0; round < 20; ++round) {
        pid_t child = ::fork();
        if (child == 0) {
            for (int i = 0;; ++i) writePrivate(i % 2 ? a : b, path);
        }
        ::usleep(static_cast<useconds_t>(1000 + round * 700));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        std::string now = *readWholeFile(path);
        EXPECT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
        EXPECT_EQ(modeOf(path), 0600);
    }
}
