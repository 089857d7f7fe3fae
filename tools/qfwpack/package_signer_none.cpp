#include "tools/qfwpack/package_signer.h"

// Packages are signed with the native build's qfwpack, which has OpenSSL.

namespace qfwpack {

std::string KeyIdFromFileName(const std::string& key_path) { return key_path; }

bool SignPackage(const std::string&, const std::string&, const std::string&, std::string* error)
{
    *error = "this build of qfwpack cannot sign; use the native one";
    return false;
}

bool PublicKeyText(const std::string&, std::string*, std::string* error)
{
    *error = "this build of qfwpack cannot read keys; use the native one";
    return false;
}

} // namespace qfwpack
