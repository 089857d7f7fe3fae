#include "package/ecdsa_p256.h"

#include <memory>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace {

struct Free {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// The point is checked to lie on the curve as it is imported.
Owned<EVP_PKEY> ImportKey(const P256PublicKey& key)
{
    char group[] = "prime256v1";
    unsigned char point[sizeof(P256PublicKey)];
    std::copy(key.begin(), key.end(), point);
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end(),
    };
    Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* imported = nullptr;
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &imported, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) !=
            1)
        return nullptr;
    return Owned<EVP_PKEY>(imported);
}

// OpenSSL verifies the DER form; the file holds r || s.
std::vector<unsigned char> ToDer(const P256Signature& signature)
{
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    Owned<BIGNUM> r(BN_bin2bn(signature.data(), 32, nullptr));
    Owned<BIGNUM> s(BN_bin2bn(signature.data() + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return {};
    r.release(); // now owned by sig
    s.release();
    const int size = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (size <= 0)
        return {};
    std::vector<unsigned char> der(static_cast<std::size_t>(size));
    unsigned char* end = der.data();
    if (i2d_ECDSA_SIG(sig.get(), &end) != size)
        return {};
    return der;
}

} // namespace

bool VerifyP256(const P256PublicKey& key, const Sha256Digest& hash, const P256Signature& signature)
{
    const Owned<EVP_PKEY> public_key = ImportKey(key);
    const std::vector<unsigned char> der = ToDer(signature);
    if (!public_key || der.empty())
        return false;
    Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(nullptr, public_key.get(), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
           EVP_PKEY_verify(context.get(), der.data(), der.size(), hash.data(), hash.size()) == 1;
}
