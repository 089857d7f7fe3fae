#include "tools/qfwpack/package_builder.h"

#include <cstdio>
#include <cstring>

#include "device/checksum.h"

namespace qfwpack {

std::uint8_t BodyByte(std::uint32_t seed, std::size_t index)
{
    // A stateless mix (splitmix-like) keeps any byte computable without generating the prefix.
    std::uint64_t x = (static_cast<std::uint64_t>(seed) << 32) ^ static_cast<std::uint64_t>(index);
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<std::uint8_t>(x);
}

std::vector<std::uint8_t> BuildBody(const PackageSpec& spec)
{
    std::vector<std::uint8_t> body;
    if (spec.payload) {
        body = *spec.payload;
    } else {
        if (spec.body_size == 0)
            return body;
        body.resize(spec.body_size - 1);
        for (std::size_t i = 0; i < body.size(); ++i)
            body[i] = BodyByte(spec.seed, i);
    }
    std::uint8_t trailer = AdditiveChecksum(std::span<const std::uint8_t>(body));
    if (spec.bad_trailer)
        trailer = static_cast<std::uint8_t>(trailer + 1);
    body.push_back(trailer);
    return body;
}

// The header layout and the file sum are written here byte by byte on purpose, without the
// updater's PackageHeader or its sum: the builder is a second opinion on the format, so a
// mistake in the updater's reading shows up in the tests instead of being built into the
// packages they feed it.
std::uint32_t PackageSum(const std::uint8_t* file, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 12; i < size; ++i)
        sum += file[i];
    return sum;
}

std::vector<std::uint8_t> BuildPackage(const PackageSpec& spec)
{
    std::vector<std::uint8_t> file(kHeaderSize, 0);
    std::memcpy(file.data(), spec.magic.data(), 4);
    file[4] = spec.min_updater_major;
    file[5] = spec.min_updater_minor;
    file[6] = static_cast<std::uint8_t>(spec.min_updater_build & 0xFF);
    file[7] = static_cast<std::uint8_t>(spec.min_updater_build >> 8);
    file[12] = spec.fw_major;
    file[13] = spec.fw_minor;
    file[14] = spec.fw_letter;
    file[22] = spec.target_hw;

    const std::vector<std::uint8_t> body = BuildBody(spec);
    file.insert(file.end(), body.begin(), body.end());

    std::uint32_t sum = PackageSum(file.data(), file.size());
    if (spec.bad_checksum)
        sum += 1;
    if (spec.checksum)
        sum = *spec.checksum;
    for (int i = 0; i < 4; ++i)
        file[8 + i] = static_cast<std::uint8_t>(sum >> (8 * i));

    if (spec.truncate_to && *spec.truncate_to < file.size())
        file.resize(*spec.truncate_to);
    return file;
}

bool WritePackage(const std::string& path, const PackageSpec& spec)
{
    const std::vector<std::uint8_t> file = BuildPackage(spec);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = file.empty() || std::fwrite(file.data(), 1, file.size(), f) == file.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

} // namespace qfwpack
