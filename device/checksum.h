// The 8-bit additive checksum that ends most device packets and every firmware image.
#pragma once

#include <cstdint>
#include <span>

// Sum of the bytes modulo 256; a count of 0 or less gives 0.
std::uint8_t AdditiveChecksum(const std::uint8_t* bytes, std::int32_t count);

inline std::uint8_t AdditiveChecksum(std::span<const std::uint8_t> bytes)
{
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes)
        sum = static_cast<std::uint8_t>(sum + b);
    return sum;
}
