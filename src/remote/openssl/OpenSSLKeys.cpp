#include "remote/openssl/OpenSSLKeys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

namespace tovo {

EVPKey keyFromBytes(std::string_view bytes) {
    EVPKey none = makeEVPKey(nullptr);
    if (bytes.size() != 97 || bytes[0] != 0x04) return none;
    std::unique_ptr<BIGNUM, decltype(&BN_clear_free)> scalar(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data() + 65), 32, nullptr), BN_clear_free);
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!scalar || !build ||
        !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, bytes.data(), 65) ||
        !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get())) {
        return none;
    }
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(build.get()),
                                                                   OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1) {
        return none;
    }
    EVPKey key = makeEVPKey(raw);
    // The point must be the scalar's own.
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> check(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                      EVP_PKEY_CTX_free);
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return none;
    return key;
}

std::optional<std::string> publicPointOf(EVP_PKEY* key) {
    unsigned char point[65];
    size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &size) != 1 || size != 65 ||
        point[0] != 0x04) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<char*>(point), size);
}

std::string privateKeyBytes(EVP_PKEY* key) {
    auto point = publicPointOf(key);
    BIGNUM* scalar = nullptr;
    if (!point || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1) return {};
    unsigned char bytes[32];
    BN_bn2binpad(scalar, bytes, sizeof bytes);
    BN_clear_free(scalar);
    return *point + std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

}  // namespace tovo
