#include "package/signature_check.h"

#include <array>

#include "package/ecdsa_p256.h"
#include "package/package_file.h"

bool SignatureRefused(SignatureState state)
{
    return state != SignatureState::none && state != SignatureState::valid;
}

const char* SignatureRefusalReason(SignatureState state)
{
    switch (state) {
    case SignatureState::unreadable: return "its .sig cannot be read";
    case SignatureState::malformed: return "its .sig is not a signature file";
    case SignatureState::other_package: return "its .sig is for another package";
    case SignatureState::unknown_key: return "its .sig names a key this program does not trust";
    case SignatureState::bad_signature: return "its .sig does not verify";
    default: return "";
    }
}

const char* SignatureStateName(SignatureState state)
{
    switch (state) {
    case SignatureState::none: return "none";
    case SignatureState::valid: return "valid";
    default: return "invalid";
    }
}

SignatureCheck CheckSignatureText(std::span<const std::uint8_t> text, const Sha256Digest& package_sha256,
                                  std::span<const TrustedKey> trusted)
{
    SignatureCheck check;
    DetachedSignature signature;
    if (!ParseSignatureFile(text, &signature)) {
        check.state = SignatureState::malformed;
        return check;
    }
    check.key_id = signature.key_id;
    if (signature.package_sha256 != package_sha256) {
        check.state = SignatureState::other_package;
        return check;
    }
    const TrustedKey* key = nullptr;
    for (const TrustedKey& candidate : trusted)
        if (candidate.id == signature.key_id)
            key = &candidate;
    if (key == nullptr) {
        check.state = SignatureState::unknown_key;
        return check;
    }
    const std::string signed_part = SignedPart(signature.key_id, signature.package_sha256);
    const Sha256Digest hash =
        Sha256Of(reinterpret_cast<const std::uint8_t*>(signed_part.data()), signed_part.size());
    check.state = VerifyP256(key->key, hash, signature.signature) ? SignatureState::valid
                                                                  : SignatureState::bad_signature;
    return check;
}

SignatureCheck CheckSignatureOf(const std::string& package_path, const Sha256Digest& package_sha256,
                                std::span<const TrustedKey> trusted)
{
    SignatureCheck check;
    PackageFile file;
    if (!file.open(SignaturePathFor(package_path).c_str(), PackageFile::Sharing::readers_allowed)) {
        // Only a .sig that is not there at all leaves the package unsigned; one that is there but
        // cannot be read could be hiding a refusal.
        check.state = file.missing() ? SignatureState::none : SignatureState::unreadable;
        return check;
    }
    std::uint64_t size = 0;
    if (!file.size(&size)) {
        check.state = SignatureState::unreadable;
        return check;
    }
    if (size > kMaxSignatureFileSize) {
        check.state = SignatureState::malformed;
        return check;
    }
    std::array<std::uint8_t, kMaxSignatureFileSize> text{};
    const auto wanted = static_cast<std::uint32_t>(size);
    if (file.read(text.data(), wanted) != wanted) {
        check.state = SignatureState::unreadable;
        return check;
    }
    return CheckSignatureText(std::span<const std::uint8_t>(text.data(), wanted), package_sha256, trusted);
}
