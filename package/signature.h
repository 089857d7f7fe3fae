// Detached package signatures (NAME.qfw.sig): which key signed the package, the package's SHA-256,
// and an ECDSA P-256 / SHA-256 signature over both. The .qfw format itself stays as it is.
//
// The file is four lines of text, each ended by one line feed, nothing before or after:
//
//   qfw-signature 1
//   key <id>
//   sha256 <64 lower-case hexadecimal digits>
//   ecdsa-p256 <128 lower-case hexadecimal digits: r then s, 32 bytes each, big-endian>
//
// The signature covers the first three lines exactly as they stand in the file. A key id is 1 to 32
// characters from a-z, 0-9 and '-', starting with a letter or digit: it is also the name of the key's
// file in the folder of trusted keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "package/sha256.h"

// The uncompressed point 04 || X || Y of a P-256 public key.
using P256PublicKey = std::array<std::uint8_t, 65>;
// r || s, each 32 bytes big-endian: the form CNG takes; OpenSSL's DER is made from it where needed.
using P256Signature = std::array<std::uint8_t, 64>;

inline constexpr std::size_t kMaxKeyIdLength = 32;
// The longest well-formed file; anything longer is refused before it is read.
inline constexpr std::size_t kMaxSignatureFileSize =
    16 + (4 + kMaxKeyIdLength + 1) + (7 + 64 + 1) + (11 + 2 * sizeof(P256Signature) + 1);

struct DetachedSignature {
    std::string key_id;
    Sha256Digest package_sha256{};
    P256Signature signature{};
};

bool ValidKeyId(std::string_view id);

// The lines the signature covers, as they are written into the file.
std::string SignedPart(std::string_view key_id, const Sha256Digest& package_sha256);

// The whole file. The key id must be valid.
std::string FormatSignatureFile(const DetachedSignature& signature);

// Strict: exactly the four lines above, or false (and `out` untouched).
bool ParseSignatureFile(std::span<const std::uint8_t> text, DetachedSignature* out);

// The public key as the trusted-keys folder holds it: 130 lower-case hexadecimal digits of the
// uncompressed point, then an optional line feed.
bool ParsePublicKeyText(std::string_view text, P256PublicKey* out);

// Where the signature of the package at `package_path` lies: the same path with ".sig" added.
std::string SignaturePathFor(const std::string& package_path);
