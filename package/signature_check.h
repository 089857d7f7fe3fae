// The signature check of a package read into memory: its .sig beside it, against the keys this
// program trusts. The digest checked is that of the bytes read, so the bytes verified are the bytes
// that get sent.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "package/sha256.h"
#include "package/signature.h"

struct TrustedKey {
    std::string_view id;
    P256PublicKey key;
};

// The keys built into this program (package/keys, and in test builds the test keys).
std::span<const TrustedKey> BuiltInTrustedKeys();

enum class SignatureState {
    none,          // no .sig beside the package
    valid,         // signed by a trusted key, over the SHA-256 of the bytes read
    unreadable,    // a .sig is there but cannot be read: a folder, no permission, a read error
    malformed,     // garbage, truncated or too long
    other_package, // holds another package's SHA-256
    unknown_key,   // names a key this program does not trust
    bad_signature, // the signature does not verify with the named key
};

// Every state but none and valid: the package must not be sent.
bool SignatureRefused(SignatureState state);
// Why a signature was refused, in a few words for the log and the command line ("" otherwise).
const char* SignatureRefusalReason(SignatureState state);
// "none", "valid", or for a refusal "invalid".
const char* SignatureStateName(SignatureState state);

struct SignatureCheck {
    SignatureState state = SignatureState::none;
    std::string key_id; // as the file names it, once it could be parsed
};

// The contents of a .sig against the package's digest.
SignatureCheck CheckSignatureText(std::span<const std::uint8_t> text, const Sha256Digest& package_sha256,
                                  std::span<const TrustedKey> trusted);

// Reads SignaturePathFor(package_path), if there is anything at that path, and checks it.
SignatureCheck CheckSignatureOf(const std::string& package_path, const Sha256Digest& package_sha256,
                                std::span<const TrustedKey> trusted);
