#include "device/checksum.h"

#include <cstddef>

std::uint8_t AdditiveChecksum(const std::uint8_t* bytes, std::int32_t count)
{
    if (bytes == nullptr || count <= 0)
        return 0;
    return AdditiveChecksum(std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(count)));
}
