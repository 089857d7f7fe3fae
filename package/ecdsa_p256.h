// ECDSA P-256 / SHA-256 verification with the platform's own cryptography: OpenSSL's libcrypto on
// Linux, CNG (bcrypt.dll, delay-loaded) on Windows. Nothing of the algorithm is written here.
#pragma once

#include "package/sha256.h"
#include "package/signature.h"

// True only when `signature` is a valid signature by `key` of the message whose SHA-256 is `hash`.
// A key that is not a point of the curve, or a system that cannot check, gives false.
bool VerifyP256(const P256PublicKey& key, const Sha256Digest& hash, const P256Signature& signature);
