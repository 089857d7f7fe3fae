#include "package/signature.h"

namespace {

constexpr std::string_view kFirstLine = "qfw-signature 1\n";
constexpr std::string_view kKeyField = "key ";
constexpr std::string_view kShaField = "sha256 ";
constexpr std::string_view kSignatureField = "ecdsa-p256 ";
constexpr char kDigits[] = "0123456789abcdef";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1; // upper case too: one spelling per file, so two files never differ by case alone
}

// Exactly 2 * out.size() lower-case digits.
bool ParseHex(std::string_view text, std::span<std::uint8_t> out)
{
    if (text.size() != 2 * out.size())
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

void AppendHex(std::string& text, std::span<const std::uint8_t> bytes)
{
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
}

// Takes "<field><value>\n" off the front of `rest`; the value holds no line feed.
bool TakeLine(std::string_view& rest, std::string_view field, std::string_view* value)
{
    if (rest.substr(0, field.size()) != field)
        return false;
    const std::size_t end = rest.find('\n', field.size());
    if (end == std::string_view::npos)
        return false;
    *value = rest.substr(field.size(), end - field.size());
    rest.remove_prefix(end + 1);
    return true;
}

} // namespace

bool ValidKeyId(std::string_view id)
{
    if (id.empty() || id.size() > kMaxKeyIdLength || id.front() == '-')
        return false;
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    return true;
}

std::string SignedPart(std::string_view key_id, const Sha256Digest& package_sha256)
{
    std::string text(kFirstLine);
    text += kKeyField;
    text += key_id;
    text += '\n';
    text += kShaField;
    AppendHex(text, package_sha256);
    text += '\n';
    return text;
}

std::string FormatSignatureFile(const DetachedSignature& signature)
{
    std::string text = SignedPart(signature.key_id, signature.package_sha256);
    text += kSignatureField;
    AppendHex(text, signature.signature);
    text += '\n';
    return text;
}

bool ParseSignatureFile(std::span<const std::uint8_t> text, DetachedSignature* out)
{
    if (out == nullptr || text.size() > kMaxSignatureFileSize)
        return false;
    std::string_view rest(reinterpret_cast<const char*>(text.data()), text.size());
    if (rest.substr(0, kFirstLine.size()) != kFirstLine)
        return false;
    rest.remove_prefix(kFirstLine.size());
    std::string_view key;
    std::string_view sha;
    std::string_view signature;
    DetachedSignature parsed;
    if (!TakeLine(rest, kKeyField, &key) || !ValidKeyId(key) || !TakeLine(rest, kShaField, &sha) ||
        !ParseHex(sha, parsed.package_sha256) || !TakeLine(rest, kSignatureField, &signature) ||
        !ParseHex(signature, parsed.signature) || !rest.empty())
        return false;
    parsed.key_id = key;
    *out = parsed;
    return true;
}

bool ParsePublicKeyText(std::string_view text, P256PublicKey* out)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    P256PublicKey key{};
    if (out == nullptr || !ParseHex(text, key) || key[0] != 0x04)
        return false;
    *out = key;
    return true;
}

std::string SignaturePathFor(const std::string& package_path) { return package_path + ".sig"; }
