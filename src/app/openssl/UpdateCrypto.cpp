#include "app/openssl/UpdateCrypto.h"

#include "app/AppError.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <memory>

namespace tovo {

SignatureCheck openSSLSignatureCheck() {
    return [](const std::string& data, const std::string& signature, const std::string& publicKey) {
        if (publicKey.size() != 32 || signature.size() != 64) return false;
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                        reinterpret_cast<const unsigned char*>(publicKey.data()), publicKey.size()),
            EVP_PKEY_free);
        if (!key) return false;
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
        return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                                signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                                data.size()) == 1;
    };
}

Downloader openSSLDownloader() {
    return [](const std::string& url) -> std::string {
        const bool secure = url.rfind("https://", 0) == 0;
        if (!secure && url.rfind("http://", 0) != 0) throw AppError("not an http or https address: " + url);
        std::string rest = url.substr(secure ? 8 : 7);
        size_t slash = rest.find('/');
        std::string host = rest.substr(0, slash), path = slash == std::string::npos ? "/" : rest.substr(slash);
        std::string hostName = host.substr(0, host.rfind(':') == std::string::npos ? host.size() : host.rfind(':'));
        if (host.find(':') == std::string::npos) host += secure ? ":443" : ":80";

        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(nullptr, SSL_CTX_free);
        std::unique_ptr<BIO, decltype(&BIO_free_all)> bio(nullptr, BIO_free_all);
        if (secure) {
            context.reset(SSL_CTX_new(TLS_client_method()));
            if (!context) throw AppError("TLS is not available");
            SSL_CTX_set_default_verify_paths(context.get());
            SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
            bio.reset(BIO_new_ssl_connect(context.get()));
            SSL* ssl = nullptr;
            BIO_get_ssl(bio.get(), &ssl);
            SSL_set_tlsext_host_name(ssl, hostName.c_str());
            SSL_set1_host(ssl, hostName.c_str());
            BIO_set_conn_hostname(bio.get(), host.c_str());
        } else {
            bio.reset(BIO_new_connect(host.c_str()));
        }
        if (!bio || BIO_do_connect(bio.get()) <= 0) throw AppError("cannot connect to " + host);
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + hostName + "\r\nConnection: close\r\n\r\n";
        if (BIO_write(bio.get(), request.data(), static_cast<int>(request.size())) !=
            static_cast<int>(request.size())) {
            throw AppError("cannot send to " + host);
        }
        std::string answer;
        char buffer[65536];
        for (;;) {
            int n = BIO_read(bio.get(), buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
            if (answer.size() > (256u << 20)) throw AppError("the answer from " + host + " is too large");
        }
        size_t head = answer.find("\r\n\r\n");
        if (head == std::string::npos ||
            (answer.compare(0, 12, "HTTP/1.1 200") != 0 && answer.compare(0, 12, "HTTP/1.0 200") != 0)) {
            throw AppError("no 200 answer from " + url);
        }
        std::string body = answer.substr(head + 4);
        // Chunked answers are decoded; plain ones run to the close.
        std::string headers = answer.substr(0, head);
        for (auto& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (headers.find("transfer-encoding: chunked") != std::string::npos) {
            std::string plain;
            size_t at = 0;
            for (;;) {
                size_t end = body.find("\r\n", at);
                if (end == std::string::npos) throw AppError("a broken chunked answer from " + url);
                size_t size = std::stoul(body.substr(at, end - at), nullptr, 16);
                if (size == 0) break;
                if (end + 2 + size > body.size()) throw AppError("a broken chunked answer from " + url);
                plain += body.substr(end + 2, size);
                at = end + 2 + size + 2;
            }
            body = plain;
        }
        return body;
    };
}

}  // namespace tovo
