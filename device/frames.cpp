#include "device/frames.h"

#include <algorithm>

#include "device/checksum.h"

namespace frames {

std::array<std::uint8_t, 3> SpeedRequest(std::uint8_t code)
{
    std::array<std::uint8_t, 3> request{kSpeedCommand, code, 0};
    request[2] = AdditiveChecksum(std::span<const std::uint8_t>(request.data(), 2));
    return request;
}

std::array<std::uint8_t, 4> BankRequest(std::uint8_t selector)
{
    std::array<std::uint8_t, 4> request{kBankCommand, selector, selector, 0};
    request[3] = AdditiveChecksum(std::span<const std::uint8_t>(request.data(), 3));
    return request;
}

std::size_t EepromRequestSize(std::uint32_t generation, std::size_t count)
{
    if (count == 0 || count > kMaxEepromCount)
        return 0;
    return generation == 1 ? kGen1EepromRequestSize : count + 5;
}

std::size_t BuildEepromRequest(std::uint32_t generation, std::uint16_t address, std::size_t count,
                               std::span<std::uint8_t> out)
{
    const std::size_t size = EepromRequestSize(generation, count);
    if (size == 0 || out.size() < size)
        return 0;
    const auto count_byte = static_cast<std::uint8_t>(count & 0xFF);
    const auto high = static_cast<std::uint8_t>(address >> 8);
    const auto low = static_cast<std::uint8_t>(address & 0xFF);
    std::size_t n = 0;
    if (generation == 1) {
        out[n++] = kEepromGen1First;
        out[n++] = kEepromGen1Second;
        out[n++] = count_byte;
        out[n++] = high;
        out[n++] = low;
    } else {
        out[n++] = kEepromCommand;
        out[n++] = count_byte;
        out[n++] = high;
        out[n++] = low;
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(n), count, std::uint8_t{0});
        n += count;
    }
    out[n] = AdditiveChecksum(std::span<const std::uint8_t>(out.data(), n));
    return n + 1;
}

bool IsValidVersionReply(std::span<const std::uint8_t, kVersionReplySize> reply)
{
    if (reply[0] == kVersionByte && reply[1] == kVersionByte)
        return false;
    if (reply[0] == 0 && reply[1] == 0)
        return false;
    // isalnum of the C locale, independent of whatever locale the process runs in.
    const std::uint8_t c = reply[2];
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::uint32_t SpeedOfCode(std::uint32_t code)
{
    switch (code) {
    case 0:
    case 1:
    case 3:
    case 7: return 921600u / (code + 1);
    default: return 0;
    }
}

} // namespace frames
