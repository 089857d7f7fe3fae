// Fuzz target: any bytes as a package file, through validation and through the upload's reading
// and checking of the package (everything an upload does before it addresses the device).
// The same bytes as a detached signature (.sig) too. Besides memory faults it aborts when the two
// readings of one file disagree, or when a .sig that is taken is not exactly what it says.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "device/result.h"
#include "package/package.h"
#include "package/package_file.h"
#include "package/signature.h"
#include "package/signature_check.h"
#include "package/upload_steps.h"

namespace {

const std::string& InputPath()
{
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
        p += "/kv-package-fuzz-" + std::to_string(::getpid()) + ".qfw";
        std::atexit([] { std::remove(InputPath().c_str()); });
        return p;
    }();
    return path;
}

bool WriteInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(InputPath().c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && written;
}

[[noreturn]] void Disagree(const char* what)
{
    std::fprintf(stderr, "package fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (!WriteInput(data, size))
        return 0;

    // The fake device and the program's version come from the input too, so every verdict is
    // reachable: the byte after the target letter picks the device's answer.
    const std::uint8_t knob = size > 23 ? data[23] : 0;
    const std::uint8_t device_id = (knob & 0x80) != 0 ? 0xFF : (size > 22 ? data[22] : 0);
    const bool device_answers = (knob & 0x40) == 0;
    EEPROMInfoReader reader = [&](EEPROMInfo* info) {
        info->device_id = device_id;
        return device_answers ? KV_S_OK : KV_E_COMM_READ_FAILURE;
    };
    const FileVersionNumbers own{1u + (knob & 1u), 13u, 101u, 0u};

    PackageHeader header_shown{};
    const int id = ValidateFirmwarePackage(InputPath().c_str(), reader, own, &header_shown);
    if (id != 0 && (id < IDS_PACKAGE_CHECKSUM_MISMATCH || id > IDS_PACKAGE_DEPRECATED))
        Disagree("validation answered an id outside 130 to 136");

    // The header on show is what the file held, zero beyond its end.
    const auto* shown = reinterpret_cast<const std::uint8_t*>(&header_shown);
    for (std::size_t i = 0; i < sizeof(PackageHeader); ++i)
        if (shown[i] != (i < size ? data[i] : 0))
            Disagree("the header shown differs from the file's first bytes");

    PackageFile file;
    LoadedPackage loaded;
    const std::int32_t code = LoadPackageForUpload(file, InputPath().c_str(), &loaded);
    if (code != KV_S_OK && code != KV_E_INVALID_FIRMWARE_IMAGE && code != KV_E_COMM_READ_FAILURE)
        Disagree("upload reading answered an unexpected code");

    const bool sized = PackageSizeUploadable(size);
    if (code == KV_S_OK) {
        if (!sized || loaded.body_size != size - kPackageHeaderSize)
            Disagree("upload reading took a file it cannot send");
        if (std::memcmp(loaded.body.get(), data + kPackageHeaderSize, loaded.body_size) != 0)
            Disagree("upload body differs from the file");
        if (std::memcmp(&loaded.header, data, kPackageHeaderSize) != 0)
            Disagree("upload header differs from the file");
        // Whatever the upload takes, validation took as sound (it may still refuse it later).
        if (id == IDS_PACKAGE_CHECKSUM_MISMATCH || id == IDS_PACKAGE_INVALID ||
            id == IDS_PACKAGE_NOT_A_PACKAGE)
            Disagree("validation refused as corrupt what the upload accepts");
        const auto command = BuildUploadCommand(loaded.body_size);
        if (static_cast<std::uint8_t>(command[0] + command[1] + command[2]) != command[3])
            Disagree("command checksum");
    } else if (code == KV_E_COMM_READ_FAILURE) {
        Disagree("a file that did not change cannot fail to read");
    }
    // Validation's size verdict is the upload's.
    if (size >= 4 && !sized && std::memcmp(data, "CQFW", 4) == 0 && id != IDS_PACKAGE_INVALID)
        Disagree("validation passed the size rule for a file the upload cannot send");
    if (id == 0 && code != KV_S_OK && code != KV_E_INVALID_FIRMWARE_IMAGE)
        Disagree("accepted package could not be read for the upload");

    // A .sig is taken only in its one written form, so what was parsed writes back byte for byte.
    const std::span<const std::uint8_t> text(data, size);
    DetachedSignature parsed;
    if (ParseSignatureFile(text, &parsed)) {
        const std::string again = FormatSignatureFile(parsed);
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0)
            Disagree("a .sig was taken that is not in its written form");
        // The fuzz build trusts no test key, and no trusted private key is anywhere near: nothing verifies.
        if (CheckSignatureText(text, parsed.package_sha256, BuiltInTrustedKeys()).state ==
            SignatureState::valid)
            Disagree("a made-up .sig verified");
    }
    return 0;
}
