#include "package/upload_steps.h"

#include <cstring>
#include <new>

#include "device/checksum.h"
#include "device/result.h"

namespace {

constexpr std::uint8_t kUploadCommand = 0x66; // 'f'

} // namespace

std::int32_t LoadPackageForUpload(PackageFile& file, const char* path, LoadedPackage* out)
{
    if (out == nullptr || !file.open(path, PackageFile::Sharing::exclusive))
        return KV_E_GENERAL_ERROR;
    std::uint64_t size = 0;
    if (!file.size(&size))
        return KV_E_GENERAL_ERROR;
    // Refused before any buffer is taken: no body, no whole header, or more than 16 bits announce.
    if (!PackageSizeUploadable(size))
        return KV_E_INVALID_FIRMWARE_IMAGE;
    const auto n = static_cast<std::uint32_t>(size - kPackageHeaderSize);
    out->body.reset(new (std::nothrow) std::uint8_t[n]());
    out->body_size = 0;
    if (!out->body)
        return KV_E_GENERAL_ERROR;
    out->body_size = n;

    if (file.read(&out->header, sizeof out->header) != sizeof out->header)
        return KV_E_INVALID_FIRMWARE_IMAGE;
    if (std::memcmp(out->header.magic, "CQFW", 4) != 0)
        return KV_E_INVALID_FIRMWARE_IMAGE;
    // A short read is a failed read: a body cut short must not go out padded with zeros.
    if (file.read(out->body.get(), n) != n)
        return KV_E_COMM_READ_FAILURE;
    const std::uint8_t* body = out->body.get();
    if (AdditiveChecksum(body, static_cast<std::int32_t>(n - 1)) != body[n - 1])
        return KV_E_INVALID_FIRMWARE_IMAGE;
    if (PackageSumParts(out->header, body, n) != out->header.checksum)
        return KV_E_INVALID_FIRMWARE_IMAGE;
    return KV_S_OK;
}

std::array<std::uint8_t, 4> BuildUploadCommand(std::uint32_t body_size)
{
    const auto high = static_cast<std::uint8_t>(body_size >> 8);
    const auto low = static_cast<std::uint8_t>(body_size);
    return {kUploadCommand, high, low, static_cast<std::uint8_t>(kUploadCommand + high + low)};
}

std::int32_t UploadStatusResult(std::uint8_t status)
{
    switch (status) {
    case '?': return KV_E_REQUEST_NOT_SUPPORTED;
    case 'E': return KV_E_EXTERNAL_CS_INVALID;
    case 'F': return KV_E_INVALID_RESPONSE;
    case 'H': return KV_E_INVALID_HARDWARE_ID;
    case 'I': return KV_E_INTERNAL_CS_INVALID;
    case 'R': return KV_E_NVRAM_BUFFERING_FAILED;
    case 'V': return KV_E_INVALID_VERSION;
    case 'W': return KV_E_FIRMWARE_FLASH_FAILED;
    default: return KV_S_OK; // 'C', 'O' and every unlisted byte mean the image was taken
    }
}
