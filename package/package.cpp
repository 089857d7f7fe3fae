#include "package/package.h"

#include <cstring>
#include <memory>
#include <new>
#include <tuple>

#include "resources/package_messages.h"

namespace {

constexpr char kMagic[4] = {'C', 'Q', 'F', 'W'};

bool HasMagic(const PackageHeader& header) { return std::memcmp(header.magic, kMagic, sizeof kMagic) == 0; }

// A late Cinder firmware for Cinder hardware is withdrawn; the device is never asked for it.
bool IsDeprecated(const PackageHeader& header)
{
    return header.fw_letter == 'D' && header.fw_major >= 2 && header.target_hw == 'D';
}

bool FitsHardware(std::uint8_t device_id, std::uint8_t target_hw)
{
    // An EEPROM that was never written reads 0xFF; such devices take the 'N' packages.
    return device_id == target_hw || (device_id == 0xFF && target_hw == 'N');
}

bool UpdaterTooOld(const FileVersionNumbers& own, const PackageHeader& header)
{
    return std::make_tuple(own.major, own.minor, own.build) <
           std::make_tuple(std::uint32_t{header.min_updater_major}, std::uint32_t{header.min_updater_minor},
                           std::uint32_t{header.min_updater_build});
}

} // namespace

int JudgePackage(PackageRead read, const LoadedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                 const FileVersionNumbers& own_version)
{
    switch (read) {
    case PackageRead::ok: break;
    case PackageRead::not_a_package: return IDS_PACKAGE_NOT_A_PACKAGE;
    case PackageRead::cannot_open:
    // A package that the upload could not announce is refused here rather than after the user
    // pressed Update!.
    case PackageRead::not_uploadable:
    case PackageRead::no_memory:
    case PackageRead::body_unread: return IDS_PACKAGE_INVALID;
    }

    const PackageHeader& header = package.header;
    if (!PackageSumMatches(package))
        return IDS_PACKAGE_CHECKSUM_MISMATCH;
    if (IsDeprecated(header))
        return IDS_PACKAGE_DEPRECATED;

    EEPROMInfo info{};
    if (!read_eeprom_info || read_eeprom_info(&info) < 0)
        return IDS_PACKAGE_NO_HARDWARE_ID;
    if (!FitsHardware(info.device_id, header.target_hw))
        return IDS_PACKAGE_WRONG_HARDWARE;
    if (UpdaterTooOld(own_version, header))
        return IDS_PACKAGE_NEEDS_NEWER_UPDATER;
    return 0;
}

// The texts are the string table's own, from the one header that the resource script builds it from.
static_assert(IDS_PACKAGE_CHECKSUM_MISMATCH == KV_IDS_PACKAGE_CHECKSUM_MISMATCH &&
              IDS_PACKAGE_WRONG_HARDWARE == KV_IDS_PACKAGE_WRONG_HARDWARE &&
              IDS_PACKAGE_NEEDS_NEWER_UPDATER == KV_IDS_PACKAGE_NEEDS_NEWER_UPDATER &&
              IDS_PACKAGE_INVALID == KV_IDS_PACKAGE_INVALID &&
              IDS_PACKAGE_NOT_A_PACKAGE == KV_IDS_PACKAGE_NOT_A_PACKAGE &&
              IDS_PACKAGE_NO_HARDWARE_ID == KV_IDS_PACKAGE_NO_HARDWARE_ID &&
              IDS_PACKAGE_DEPRECATED == KV_IDS_PACKAGE_DEPRECATED &&
              IDS_PACKAGE_SIGNATURE_MISMATCH == KV_IDS_PACKAGE_SIGNATURE_MISMATCH &&
              IDS_PACKAGE_NOT_SIGNED == KV_IDS_PACKAGE_NOT_SIGNED);

const char* PackageMessageText(int id)
{
    switch (id) {
    case IDS_PACKAGE_CHECKSUM_MISMATCH: return KV_TEXT_PACKAGE_CHECKSUM_MISMATCH;
    case IDS_PACKAGE_WRONG_HARDWARE: return KV_TEXT_PACKAGE_WRONG_HARDWARE;
    case IDS_PACKAGE_NEEDS_NEWER_UPDATER: return KV_TEXT_PACKAGE_NEEDS_NEWER_UPDATER;
    case IDS_PACKAGE_INVALID: return KV_TEXT_PACKAGE_INVALID;
    case IDS_PACKAGE_NOT_A_PACKAGE: return KV_TEXT_PACKAGE_NOT_A_PACKAGE;
    case IDS_PACKAGE_NO_HARDWARE_ID: return KV_TEXT_PACKAGE_NO_HARDWARE_ID;
    case IDS_PACKAGE_DEPRECATED: return KV_TEXT_PACKAGE_DEPRECATED;
    case IDS_PACKAGE_SIGNATURE_MISMATCH: return KV_TEXT_PACKAGE_SIGNATURE_MISMATCH;
    case IDS_PACKAGE_NOT_SIGNED: return KV_TEXT_PACKAGE_NOT_SIGNED;
    default: return "";
    }
}

int ValidateFirmwarePackage(const char* path, const EEPROMInfoReader& read_eeprom_info,
                            const FileVersionNumbers& own_version, PackageHeader* header)
{
    PackageFile file;
    LoadedPackage package;
    const PackageRead read = ReadPackage(file, path, PackageFile::Sharing::readers_allowed, &package);
    file.close();
    if (header != nullptr)
        *header = package.header;
    return JudgePackage(read, package, read_eeprom_info, own_version);
}

Sha256Digest PackageDigest(const LoadedPackage& package)
{
    Sha256 hash;
    hash.Update(reinterpret_cast<const std::uint8_t*>(&package.header), sizeof package.header);
    hash.Update(package.body.get(), package.body_size);
    return hash.Finish();
}

std::uint32_t GetFileSizeByName(const char* path)
{
    PackageFile file;
    std::uint64_t size = 0;
    if (!file.open(path, PackageFile::Sharing::readers_allowed) || !file.size(&size))
        return 0;
    return static_cast<std::uint32_t>(size);
}

std::uint32_t PackageChecksum(const std::uint8_t* file, std::size_t size)
{
    std::uint32_t sum = 0;
    if (file == nullptr)
        return 0;
    for (std::size_t i = kPackageSumStart; i < size; ++i)
        sum += file[i];
    return sum;
}

bool PackageSizeUploadable(std::uint64_t file_size)
{
    return file_size > kPackageHeaderSize && file_size - kPackageHeaderSize <= kMaxPackageBodySize;
}

PackageRead ReadPackage(PackageFile& file, const char* path, PackageFile::Sharing sharing, LoadedPackage* out)
{
    *out = LoadedPackage{};
    std::uint64_t size = 0;
    if (!file.open(path, sharing) || !file.size(&size))
        return PackageRead::cannot_open;

    // The header first, and never more of it than the file holds; the rest stays zero.
    const auto header_bytes =
        static_cast<std::uint32_t>(size < kPackageHeaderSize ? size : kPackageHeaderSize);
    if (size == 0 || file.read(&out->header, header_bytes) != header_bytes) {
        out->header = PackageHeader{};
        return PackageRead::not_uploadable;
    }
    if (!HasMagic(out->header))
        return PackageRead::not_a_package;

    // Decided from the size alone, before any buffer is taken: a huge file is never read.
    if (!PackageSizeUploadable(size))
        return PackageRead::not_uploadable;
    const auto n = static_cast<std::uint32_t>(size - kPackageHeaderSize);
    out->body.reset(new (std::nothrow) std::uint8_t[n]());
    if (!out->body)
        return PackageRead::no_memory;
    out->body_size = n;
    // A short read is a failed read: a body cut short must not pass as one padded with zeros.
    if (file.read(out->body.get(), n) != n)
        return PackageRead::body_unread;
    return PackageRead::ok;
}

bool PackageSumMatches(const LoadedPackage& package)
{
    const auto* head = reinterpret_cast<const std::uint8_t*>(&package.header);
    std::uint32_t sum = PackageChecksum(head, sizeof package.header);
    for (std::uint32_t i = 0; i < package.body_size; ++i)
        sum += package.body[i];
    return sum == package.header.checksum;
}
