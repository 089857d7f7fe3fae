#include "tools/qfwpack/package_signer.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace qfwpack {

namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

std::string Hex(const unsigned char* bytes, std::size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// A P-256 key from a PEM file, private (for signing) or, when `public_only`, either kind.
Owned<EVP_PKEY> LoadKey(const std::string& path, bool public_only, std::string* error)
{
    Owned<BIO> in(BIO_new_file(path.c_str(), "r"));
    if (!in) {
        *error = "cannot read the key file '" + path + "'";
        return nullptr;
    }
    Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    if (!key && public_only) {
        BIO_reset(in.get());
        key.reset(PEM_read_bio_PUBKEY(in.get(), nullptr, nullptr, nullptr));
    }
    if (!key) {
        *error = "'" + path + "' holds no " + (public_only ? "" : "private ") + "key in PEM form";
        return nullptr;
    }
    char group[64] = {};
    std::size_t group_size = 0;
    if (!EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &group_size) != 1 ||
        std::string(group) != "prime256v1") {
        *error = "'" + path + "' is not a P-256 (prime256v1) key";
        return nullptr;
    }
    return key;
}

bool ValidId(const std::string& id)
{
    if (id.empty() || id.size() > 32 || id.front() == '-')
        return false;
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    return true;
}

} // namespace

std::string KeyIdFromFileName(const std::string& key_path)
{
    std::string name = key_path.substr(key_path.find_last_of("/\\") + 1);
    for (const std::string suffix : {".pem", ".key"})
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            name.resize(name.size() - suffix.size());
    return name;
}

bool SignPackage(const std::string& package_path, const std::string& key_path, const std::string& key_id,
                 std::string* error)
{
    if (!ValidId(key_id)) {
        *error = "key id '" + key_id + "': 1 to 32 characters of a-z, 0-9 and '-', not starting with '-'";
        return false;
    }
    std::ifstream in(package_path, std::ios::binary);
    if (!in) {
        *error = "cannot read the package '" + package_path + "'";
        return false;
    }
    const std::vector<unsigned char> package((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read the package '" + package_path + "'";
        return false;
    }
    const Owned<EVP_PKEY> key = LoadKey(key_path, false, error);
    if (!key)
        return false;

    // The format is written out here on its own, not with the updater's code: a second opinion, so a
    // mistake on either side shows in the tests.
    unsigned char digest[32];
    unsigned int digest_size = 0;
    if (EVP_Digest(package.data(), package.size(), digest, &digest_size, EVP_sha256(), nullptr) != 1) {
        *error = "hashing the package failed";
        return false;
    }
    const std::string signed_part = "qfw-signature 1\nkey " + key_id + "\nsha256 " + Hex(digest, 32) + "\n";

    Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    std::size_t der_size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &der_size,
                       reinterpret_cast<const unsigned char*>(signed_part.data()), signed_part.size()) != 1) {
        *error = "signing failed";
        return false;
    }
    std::vector<unsigned char> der(der_size);
    if (EVP_DigestSign(context.get(), der.data(), &der_size,
                       reinterpret_cast<const unsigned char*>(signed_part.data()), signed_part.size()) != 1) {
        *error = "signing failed";
        return false;
    }
    // OpenSSL signs in DER; the file holds r || s.
    const unsigned char* p = der.data();
    Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_size)));
    unsigned char raw[64];
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw + 32, 32) != 32) {
        *error = "signing failed";
        return false;
    }
    const std::string text = signed_part + "ecdsa-p256 " + Hex(raw, sizeof raw) + "\n";

    const std::string out_path = package_path + ".sig";
    std::FILE* out = std::fopen(out_path.c_str(), "wb");
    if (out == nullptr) {
        *error = "cannot write '" + out_path + "'";
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        std::remove(out_path.c_str());
        *error = "cannot write '" + out_path + "'";
        return false;
    }
    return true;
}

bool PublicKeyText(const std::string& key_path, std::string* text, std::string* error)
{
    const Owned<EVP_PKEY> key = LoadKey(key_path, true, error);
    if (!key)
        return false;
    unsigned char point[65];
    std::size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point,
                                        &size) != 1 ||
        size != sizeof point || point[0] != 0x04) {
        *error = "cannot take the public point of '" + key_path + "'";
        return false;
    }
    *text = Hex(point, size);
    return true;
}

} // namespace qfwpack
