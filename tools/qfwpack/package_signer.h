// The maker's side of package signatures: the .sig beside a package, and the public key text that
// the trusted-keys folder holds. Signing uses OpenSSL; the Windows build of qfwpack cannot sign.
#pragma once

#include <string>

namespace qfwpack {

// The id a key file stands for by default: its name without the folder, ".pem" and ".key"
// ("keys/korvane-2027.key.pem" -> "korvane-2027").
std::string KeyIdFromFileName(const std::string& key_path);

// Writes package_path + ".sig", signed with the P-256 private key in key_path (PEM), naming the key
// `key_id`. False with a reason in `error` otherwise; nothing is written then.
bool SignPackage(const std::string& package_path, const std::string& key_path, const std::string& key_id,
                 std::string* error);

// The public half of the P-256 key in key_path (private or public PEM) as 130 hexadecimal digits.
bool PublicKeyText(const std::string& key_path, std::string* text, std::string* error);

} // namespace qfwpack
