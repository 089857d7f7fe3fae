// The upload's pieces that do not need a device: reading and checking the package, the command
// bytes and the meaning of the device's answers. Kept apart so tests and the fuzzer reach them.
#pragma once

#include <array>
#include <cstdint>

#include "package/package.h"
#include "package/package_file.h"

// Opens the package exclusively in `file`, so that nobody writes it while it is read, reads it
// whole and checks it: KV_S_OK, or -1 (cannot open, no memory), -14 (no
// uploadable size, no signature, trailer or file sum wrong) or -5 (the body cannot be read).
std::int32_t LoadPackageForUpload(PackageFile& file, const char* path, LoadedPackage* out);

// The checks of the image that precede every upload: the body's trailing checksum byte and the
// package sum. KV_S_OK or KV_E_INVALID_FIRMWARE_IMAGE.
std::int32_t CheckPackageForUpload(const LoadedPackage& package);

// The 4-byte upload command announcing a body of body_size bytes (65,536 travels as 0).
std::array<std::uint8_t, 4> BuildUploadCommand(std::uint32_t body_size);

// Result code of the device's final status byte.
std::int32_t UploadStatusResult(std::uint8_t status);
