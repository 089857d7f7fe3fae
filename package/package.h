// Firmware package (.qfw): a 256-byte header, then the image. Format and validation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "device/device_connection.h"
#include "package/package_file.h"
#include "package/sha256.h"
#include "resources/version.h"

static_assert(std::endian::native == std::endian::little, "the header is read as it lies in the file");

#pragma pack(push, 1)
struct PackageHeader {
    char magic[4]; // "CQFW"
    std::uint8_t min_updater_major;
    std::uint8_t min_updater_minor;
    std::uint16_t min_updater_build;
    std::uint32_t checksum; // sum of every byte from offset 12 to the end, modulo 2^32
    std::uint8_t fw_major;
    std::uint8_t fw_minor;
    std::uint8_t fw_letter;
    std::uint8_t reserved1[7];
    std::uint8_t target_hw;
    std::uint8_t reserved2[233];
};
#pragma pack(pop)
static_assert(sizeof(PackageHeader) == 256);

inline constexpr std::uint32_t kPackageHeaderSize = sizeof(PackageHeader);
// The file sum covers everything from the firmware version on; the updater requirement before
// it may change without touching the sum.
inline constexpr std::size_t kPackageSumStart = offsetof(PackageHeader, fw_major);
static_assert(kPackageSumStart == 12);
// The upload announces the body length in 16 bits, with 0 standing for 65,536.
inline constexpr std::uint32_t kMaxPackageBodySize = 65536;

// String-table ids that validation answers with (0 = accepted).
inline constexpr int IDS_PACKAGE_CHECKSUM_MISMATCH = 130;
inline constexpr int IDS_PACKAGE_WRONG_HARDWARE = 131;
inline constexpr int IDS_PACKAGE_NEEDS_NEWER_UPDATER = 132;
inline constexpr int IDS_PACKAGE_INVALID = 133;
inline constexpr int IDS_PACKAGE_NOT_A_PACKAGE = 134;
inline constexpr int IDS_PACKAGE_NO_HARDWARE_ID = 135;
inline constexpr int IDS_PACKAGE_DEPRECATED = 136;
// A .sig beside the package that does not vouch for these bytes (package/signature_check.h).
inline constexpr int IDS_PACKAGE_SIGNATURE_MISMATCH = 137;
// No .sig, where signatures are required.
inline constexpr int IDS_PACKAGE_NOT_SIGNED = 138;

// Texts of those ids, as the string table holds them.
const char* PackageMessageText(int id);

struct FileVersionNumbers {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t revision = 0;
};

// The program's own file version as it is built into the version record.
inline constexpr FileVersionNumbers kBuiltInFileVersion{KV_FILE_VERSION_MAJOR, KV_FILE_VERSION_MINOR,
                                                        KV_FILE_VERSION_BUILD, KV_FILE_VERSION_REVISION};

// How validation learns the attached device's EEPROM information: normally the connection's
// GetEEPROMInfo; during an upload, the record the connection already holds.
using EEPROMInfoReader = std::function<std::int32_t(EEPROMInfo*)>;

// 0 when the package is accepted, otherwise one of the ids 130 to 136. `header`, when given,
// receives what the file holds of its header (zero beyond its end, all zero without one), also
// for a file that is refused: that is what the package details show.
int ValidateFirmwarePackage(const char* path, const EEPROMInfoReader& read_eeprom_info,
                            const FileVersionNumbers& own_version, PackageHeader* header = nullptr);

// Size of the file in bytes (low 32 bits), or 0 when it is missing or cannot be opened.
std::uint32_t GetFileSizeByName(const char* path);

// The 32-bit package sum over bytes 12 to the end of a file image.
std::uint32_t PackageChecksum(const std::uint8_t* file, std::size_t size);

// True for the files an upload can carry: a whole header and a body of 1 to 65,536 bytes.
bool PackageSizeUploadable(std::uint64_t file_size);

// A package file in memory: the header as far as the file holds it (zero beyond its end) and,
// for a file of uploadable size, the whole body.
struct LoadedPackage {
    PackageHeader header{};
    std::unique_ptr<std::uint8_t[]> body; // zero-filled before it is read
    std::uint32_t body_size = 0;
};

// The step at which reading a package file stopped. Validation and the upload answer each
// with a result of their own.
enum class PackageRead {
    ok,
    cannot_open,    // missing, not a regular file, refused by the sharing mode, or no size
    not_a_package,  // no "CQFW" signature
    not_uploadable, // empty, header unreadable, no body, or more body than the upload announces
    no_memory,      // no buffer for the body
    body_unread,    // the body could not be read whole
};

// The verdict of validation for a package already read: the file's own checks first, then the
// device's hardware id and this program's version. 0 or one of the ids 130 to 136.
int JudgePackage(PackageRead read, const LoadedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                 const FileVersionNumbers& own_version);

// SHA-256 of an uploadable package as read: its header, then its body.
Sha256Digest PackageDigest(const LoadedPackage& package);

// Opens the file in `file` with the given sharing and reads it in this order: size, header,
// signature, size rule, body. No buffer is taken before the size rule has passed, and nothing
// is read past the file's end.
PackageRead ReadPackage(PackageFile& file, const char* path, PackageFile::Sharing sharing,
                        LoadedPackage* out);

// The header's `checksum` against the sum of header bytes 12 to 255 and the whole body.
bool PackageSumMatches(const LoadedPackage& package);
