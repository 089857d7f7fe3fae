#include "package/ecdsa_p256.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>

namespace {

// BCRYPT_ECCKEY_BLOB followed by X and Y.
struct P256PublicBlob {
    BCRYPT_ECCKEY_BLOB header;
    UCHAR xy[64];
};

class Algorithm {
public:
    Algorithm()
    {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
            handle_ = nullptr;
    }
    ~Algorithm()
    {
        if (handle_ != nullptr)
            BCryptCloseAlgorithmProvider(handle_, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
public:
    ~Key()
    {
        if (handle_ != nullptr)
            BCryptDestroyKey(handle_);
    }
    BCRYPT_KEY_HANDLE* out() { return &handle_; }
    BCRYPT_KEY_HANDLE get() const { return handle_; }

private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

} // namespace

bool VerifyP256(const P256PublicKey& key, const Sha256Digest& hash, const P256Signature& signature)
{
    if (key[0] != 0x04)
        return false;
    P256PublicBlob blob{};
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = 32;
    std::memcpy(blob.xy, key.data() + 1, sizeof blob.xy);

    const Algorithm algorithm;
    Key public_key;
    if (algorithm.get() == nullptr ||
        !BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, public_key.out(),
                                            reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0)))
        return false;
    // The API takes non-const buffers but only reads them.
    Sha256Digest hash_copy = hash;
    P256Signature signature_copy = signature;
    return BCryptVerifySignature(public_key.get(), nullptr, hash_copy.data(),
                                 static_cast<ULONG>(hash_copy.size()), signature_copy.data(),
                                 static_cast<ULONG>(signature_copy.size()),
                                 0) == 0; // STATUS_SUCCESS; STATUS_INVALID_SIGNATURE otherwise
}
