// Request frames and reply checks of the device protocol, as small pure functions over byte
// spans, so that each wire format can be checked byte for byte without a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace frames {

// Command and answer bytes.
inline constexpr std::uint8_t kAck = 0x4F;             // 'O': the device confirms
inline constexpr std::uint8_t kUnknownCommand = 0x3F;  // '?': the device does not know the command
inline constexpr std::uint8_t kSpeedCommand = 0x53;    // 'S' code sum
inline constexpr std::uint8_t kEepromGen1First = 0x48; // 'H' 'R' count addr_hi addr_lo sum
inline constexpr std::uint8_t kEepromGen1Second = 0x52;
inline constexpr std::uint8_t kEepromCommand = 0x45; // 'E' count addr_hi addr_lo zeros... sum
inline constexpr std::uint8_t kBankCommand = 0x42;   // 'B' selector selector sum
inline constexpr std::uint8_t kBankActive = 0x45;    // selector 'E': active emulation bank
inline constexpr std::uint8_t kBankReadWrite = 0x52; // selector 'R': selected R/W window
inline constexpr std::uint8_t kVersionByte = 0x56;   // 'V'

// Fixed requests.
inline constexpr std::array<std::uint8_t, 2> kVersionRequest{0x56, 0x56};      // "VV", no sum
inline constexpr std::array<std::uint8_t, 3> kSerialRequest{0x4E, 0x53, 0xA1}; // "NS" and sum
inline constexpr std::array<std::uint8_t, 5> kFlashInfoRequest{0x44, 0x4F, 0x4C, 0x49,
                                                               0x28}; // "DOLI" and sum

inline constexpr std::size_t kVersionReplySize = 3;
inline constexpr std::size_t kSerialReplySize = 9;     // then one trailing byte
inline constexpr std::size_t kFlashInfoReplySize = 16; // then its sum

// EEPROM transfers carry a count byte: 1 to 256, with 256 sent as 0.
inline constexpr std::size_t kMaxEepromCount = 256;
inline constexpr std::size_t kGen1EepromRequestSize = 6;
inline constexpr std::size_t kMaxEepromRequestSize = kMaxEepromCount + 5;

std::array<std::uint8_t, 3> SpeedRequest(std::uint8_t code);
std::array<std::uint8_t, 4> BankRequest(std::uint8_t selector);

// Size of the EEPROM read request for the generation and count (0 for a count outside 1..256).
std::size_t EepromRequestSize(std::uint32_t generation, std::size_t count);

// Writes the EEPROM read request into `out` and returns its size; 0 when the count is outside
// 1..256 or `out` is too small. Generation 1 has its own form; every other generation the other.
std::size_t BuildEepromRequest(std::uint32_t generation, std::uint16_t address, std::size_t count,
                               std::span<std::uint8_t> out);

// A version reply is rejected when it echoes "VV", when both version bytes are 0, or when the
// letter is not an ASCII letter or digit.
bool IsValidVersionReply(std::span<const std::uint8_t, kVersionReplySize> reply);

// Read total time-out constants (ms) the commands put in force for their replies.
inline constexpr std::uint32_t kReadTimeoutStandardMs = 300; // the connection's usual value
inline constexpr std::uint32_t kReadTimeoutQuickMs = 110;    // version and speed replies
inline constexpr std::uint32_t kReadTimeoutSerialMs = 600;   // serial reply

// Link speed in bits per second of a speed code: 921600 / (code + 1) for 0, 1, 3 and 7; 0 for
// every code the device refuses.
std::uint32_t SpeedOfCode(std::uint32_t code);

} // namespace frames
