#include "package/upload_steps.h"

#include "device/checksum.h"
#include "device/result.h"

namespace {

constexpr std::uint8_t kUploadCommand = 0x66; // 'f'

} // namespace

std::int32_t LoadPackageForUpload(PackageFile& file, const char* path, LoadedPackage* out)
{
    if (out == nullptr)
        return KV_E_GENERAL_ERROR;
    // Exclusive, so that nobody writes the file while it is read.
    switch (ReadPackage(file, path, PackageFile::Sharing::exclusive, out)) {
    case PackageRead::ok: break;
    case PackageRead::cannot_open:
    case PackageRead::no_memory: return KV_E_GENERAL_ERROR;
    case PackageRead::not_a_package:
    case PackageRead::not_uploadable: return KV_E_INVALID_FIRMWARE_IMAGE;
    case PackageRead::body_unread: return KV_E_COMM_READ_FAILURE;
    }
    return CheckPackageForUpload(*out);
}

std::int32_t CheckPackageForUpload(const LoadedPackage& package)
{
    const std::uint8_t* body = package.body.get();
    const std::uint32_t n = package.body_size;
    if (body == nullptr || n == 0 || n > kMaxPackageBodySize)
        return KV_E_INVALID_FIRMWARE_IMAGE;
    if (AdditiveChecksum(body, static_cast<std::int32_t>(n - 1)) != body[n - 1])
        return KV_E_INVALID_FIRMWARE_IMAGE;
    if (!PackageSumMatches(package))
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
