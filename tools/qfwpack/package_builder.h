// Builds firmware package files (.qfw) for tests: every header field settable, the file sum and
// the image trailer right or deliberately wrong, any body size, body content from a seed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qfwpack {

inline constexpr std::size_t kHeaderSize = 256;

struct PackageSpec {
    std::array<char, 4> magic{'C', 'Q', 'F', 'W'};
    std::uint8_t min_updater_major = 1;
    std::uint8_t min_updater_minor = 13;
    std::uint16_t min_updater_build = 101;
    std::uint8_t fw_major = 2;
    std::uint8_t fw_minor = 21;
    std::uint8_t fw_letter = 'A';
    std::uint8_t target_hw = 'A';

    // Body length in bytes, trailer included (0 gives a header-only file).
    std::size_t body_size = 1024;
    // Seed of the pseudo-random body bytes before the trailer (see BodyByte).
    std::uint32_t seed = 1;
    // When set, these are the body bytes before the trailer and body_size is ignored.
    std::optional<std::vector<std::uint8_t>> payload;

    bool bad_checksum = false;             // header sum off by one
    bool bad_trailer = false;              // image trailer off by one
    std::optional<std::uint32_t> checksum; // exact header sum to store instead of the computed one
    // Cut the finished file to this many bytes (for files without a complete header).
    std::optional<std::size_t> truncate_to;
};

// Byte i of the seeded body content: deterministic, so a test can predict the image.
std::uint8_t BodyByte(std::uint32_t seed, std::size_t index);

// The body as it goes into the file: content, then the trailer (unless the body is empty).
std::vector<std::uint8_t> BuildBody(const PackageSpec& spec);

// The whole file: 256-byte header followed by the body.
std::vector<std::uint8_t> BuildPackage(const PackageSpec& spec);

// Sum modulo 2^32 of every byte from offset 12 to the end (0 for 12 bytes or fewer).
std::uint32_t PackageSum(const std::uint8_t* file, std::size_t size);

// Writes BuildPackage(spec) to path, replacing the file. False when it cannot be written.
bool WritePackage(const std::string& path, const PackageSpec& spec);

} // namespace qfwpack
