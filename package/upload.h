// Upload of a package's image to the device: the 'f' command, 256-byte acknowledged chunks,
// the final status byte.
#pragma once

#include <cstdint>
#include <functional>

#include "package/package.h"

class DeviceConnection;

// The image goes out in chunks of this size, each acknowledged before the next.
inline constexpr std::uint32_t kUploadChunkSize = 256;

struct UpdateProgress {
    std::uint32_t size = 24;
    std::uint32_t position = 0; // chunks acknowledged so far
    std::uint32_t total = 0;    // whole chunks in the image
    std::uint32_t flags = 0;
    std::uint32_t reserved1 = 0;
    std::uint32_t reserved2 = 0;
};
static_assert(sizeof(UpdateProgress) == 24);

inline constexpr std::uint32_t kProgressChunk = 0;
inline constexpr std::uint32_t kProgressBegin = 1;
inline constexpr std::uint32_t kProgressEnd = 2;
inline constexpr std::uint32_t kProgressStep = 4; // understood by the dialog, never sent by the upload

// Called on the upload's thread; the record may be null for callers that tolerate it.
using ProgressCallback = std::function<std::int32_t(const UpdateProgress*)>;

std::int32_t UploadFirmware(DeviceConnection& connection, const char* path, const ProgressCallback& callback);

// As above, for a package that validation has examined: the file is read and checked the same
// way, and sent only when its bytes are still those that passed validation. When they are not,
// nothing reaches the device, `changed` is set and the result is KV_E_INVALID_FIRMWARE_IMAGE.
std::int32_t UploadFirmware(DeviceConnection& connection, const char* path, const ProgressCallback& callback,
                            const Sha256Digest& examined, bool* changed);

// Sends a package already read (the same checks of the image run first): the bytes in memory
// are the bytes sent.
std::int32_t UploadPackage(DeviceConnection& connection, const LoadedPackage& package,
                           const ProgressCallback& callback);
