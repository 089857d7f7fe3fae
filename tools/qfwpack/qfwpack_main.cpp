// qfwpack: writes one firmware package file for tests and manual runs, and signs packages.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/qfwpack/package_builder.h"
#include "tools/qfwpack/package_signer.h"

namespace {

const char kUsage[] =
    "usage: qfwpack --out FILE [options]\n"
    "       qfwpack sign PACKAGE --key PRIVATE.pem [--key-id ID]\n"
    "       qfwpack public-key KEY.pem\n"
    "  sign                  write PACKAGE.sig, signed with the P-256 key; ID defaults to the key\n"
    "                        file's name without .pem and .key\n"
    "  public-key            print the key's public point as package/keys/ID.pub holds it\n"
    "  --out FILE            package file to write (replaced)\n"
    "  --fw MAJOR.MINOR      firmware version in the header (default 2.21)\n"
    "  --letter C            firmware hardware letter (default A); C or 0xNN\n"
    "  --target C            target hardware letter (default A); C or 0xNN\n"
    "  --min-updater A.B.C   oldest updater version (default 1.13.101)\n"
    "  --magic XXXX          signature, up to 4 characters (default CQFW; shorter is zero-padded)\n"
    "  --body-size N         body length including the trailer byte (default 1024; 0 allowed)\n"
    "  --seed S              seed of the body content (default 1)\n"
    "  --payload-file F      body bytes before the trailer from F (overrides --body-size)\n"
    "  --bad-checksum        store the header sum off by one\n"
    "  --checksum X          store exactly X as the header sum (decimal or 0x hex)\n"
    "  --bad-trailer         store the image trailer off by one\n"
    "  --truncate N          cut the finished file to N bytes\n"
    "  --help                this text\n";

bool ParseUnsigned(const char* text, unsigned long long max, unsigned long long* out)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

bool ParseLetter(const char* text, std::uint8_t* out)
{
    if (text == nullptr)
        return false;
    if (std::strlen(text) == 1) {
        *out = static_cast<std::uint8_t>(text[0]);
        return true;
    }
    unsigned long long v = 0;
    if (std::strncmp(text, "0x", 2) != 0 || !ParseUnsigned(text, 0xFF, &v))
        return false;
    *out = static_cast<std::uint8_t>(v);
    return true;
}

// "A.B" or "A.B.C" into up to three numbers, each bounded.
bool ParseDotted(const char* text, int parts, const unsigned long long* maxima, unsigned long long* out)
{
    std::string s = text == nullptr ? "" : text;
    std::size_t start = 0;
    for (int i = 0; i < parts; ++i) {
        const std::size_t dot = s.find('.', start);
        const bool last = i == parts - 1;
        if (last != (dot == std::string::npos))
            return false;
        const std::string piece = s.substr(start, last ? std::string::npos : dot - start);
        if (piece.empty() || piece.find_first_not_of("0123456789") != std::string::npos)
            return false;
        if (!ParseUnsigned(piece.c_str(), maxima[i], &out[i]))
            return false;
        start = dot + 1;
    }
    return true;
}

int Fail(const char* what, const char* value)
{
    std::fprintf(stderr, "qfwpack: bad %s '%s'\n%s", what, value ? value : "", kUsage);
    return 2;
}

int Sign(int argc, char** argv)
{
    std::string package;
    std::string key;
    std::string id;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if ((arg == "--key" || arg == "--key-id") && value != nullptr) {
            (arg == "--key" ? key : id) = value;
            ++i;
        } else if (package.empty() && !arg.empty() && arg[0] != '-') {
            package = arg;
        } else {
            return Fail("sign argument", arg.c_str());
        }
    }
    if (package.empty() || key.empty())
        return Fail("sign: PACKAGE and --key are both needed", "");
    if (id.empty())
        id = qfwpack::KeyIdFromFileName(key);
    std::string error;
    if (!qfwpack::SignPackage(package, key, id, &error)) {
        std::fprintf(stderr, "qfwpack: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s.sig: signed by key %s\n", package.c_str(), id.c_str());
    return 0;
}

int PublicKey(int argc, char** argv)
{
    if (argc != 3)
        return Fail("public-key: one key file is needed", "");
    std::string text;
    std::string error;
    if (!qfwpack::PublicKeyText(argv[2], &text, &error)) {
        std::fprintf(stderr, "qfwpack: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", text.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "sign") == 0)
        return Sign(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "public-key") == 0)
        return PublicKey(argc, argv);
    qfwpack::PackageSpec spec;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need = [&]() {
            if (value == nullptr)
                return false;
            ++i;
            return true;
        };
        unsigned long long n[3] = {};
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--bad-checksum") {
            spec.bad_checksum = true;
        } else if (arg == "--bad-trailer") {
            spec.bad_trailer = true;
        } else if (!need()) {
            return Fail("option (or missing value)", arg.c_str());
        } else if (arg == "--out") {
            out = value;
        } else if (arg == "--fw") {
            const unsigned long long max[2] = {255, 255};
            if (!ParseDotted(value, 2, max, n))
                return Fail("--fw", value);
            spec.fw_major = static_cast<std::uint8_t>(n[0]);
            spec.fw_minor = static_cast<std::uint8_t>(n[1]);
        } else if (arg == "--letter") {
            if (!ParseLetter(value, &spec.fw_letter))
                return Fail("--letter", value);
        } else if (arg == "--target") {
            if (!ParseLetter(value, &spec.target_hw))
                return Fail("--target", value);
        } else if (arg == "--min-updater") {
            const unsigned long long max[3] = {255, 255, 65535};
            if (!ParseDotted(value, 3, max, n))
                return Fail("--min-updater", value);
            spec.min_updater_major = static_cast<std::uint8_t>(n[0]);
            spec.min_updater_minor = static_cast<std::uint8_t>(n[1]);
            spec.min_updater_build = static_cast<std::uint16_t>(n[2]);
        } else if (arg == "--magic") {
            if (std::strlen(value) > 4)
                return Fail("--magic", value);
            spec.magic = {};
            std::memcpy(spec.magic.data(), value, std::strlen(value));
        } else if (arg == "--body-size") {
            if (!ParseUnsigned(value, 64ull << 20, &n[0]))
                return Fail("--body-size", value);
            spec.body_size = static_cast<std::size_t>(n[0]);
        } else if (arg == "--seed") {
            if (!ParseUnsigned(value, 0xFFFFFFFFull, &n[0]))
                return Fail("--seed", value);
            spec.seed = static_cast<std::uint32_t>(n[0]);
        } else if (arg == "--payload-file") {
            std::ifstream in(value, std::ios::binary);
            if (!in)
                return Fail("--payload-file", value);
            spec.payload.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (arg == "--checksum") {
            if (!ParseUnsigned(value, 0xFFFFFFFFull, &n[0]))
                return Fail("--checksum", value);
            spec.checksum = static_cast<std::uint32_t>(n[0]);
        } else if (arg == "--truncate") {
            if (!ParseUnsigned(value, 64ull << 20, &n[0]))
                return Fail("--truncate", value);
            spec.truncate_to = static_cast<std::size_t>(n[0]);
        } else {
            --i;
            return Fail("option", arg.c_str());
        }
    }
    if (out.empty())
        return Fail("--out", "");
    if (!qfwpack::WritePackage(out, spec)) {
        std::fprintf(stderr, "qfwpack: cannot write '%s'\n", out.c_str());
        return 1;
    }
    const std::vector<std::uint8_t> file = qfwpack::BuildPackage(spec);
    std::printf("%s: %zu bytes\n", out.c_str(), file.size());
    return 0;
}
