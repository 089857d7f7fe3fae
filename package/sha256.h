// SHA-256 of a byte range: how a package read twice is known to be the same package.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    void Update(const std::uint8_t* data, std::size_t size);
    Sha256Digest Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t total_bytes_ = 0;
};

Sha256Digest Sha256Of(const std::uint8_t* data, std::size_t size);

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const Sha256Digest& digest);
