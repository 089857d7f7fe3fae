// The control channel between the Windows test program and its native far end: one text line
// per request, one per answer, over a pseudo-terminal linked as a COM port.
//
//   LINE p                  -> OK <speed> <eight bits> <parity> <two stop bits> <hardware flow>
//                              <canonical>
//   STOP p 0|1              -> OK | ERR       two stop bits off or on
//   CANON p 0|1             -> OK | ERR       line editing off or on
//   SPEED p rate            -> OK | ERR       line speed changed behind the program's back
//   SEND p delay_ms hex     -> OK             queue bytes for the program
//   TAKE p count timeout_ms -> OK hex         wait for count bytes; everything that arrived
//   RESET p                 -> OK             forget what arrived, drop what is queued
//
// p is 0 or 1, the two data ports; numbers are decimal, bytes two upper-case hex digits each.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kvtest {

inline constexpr int kDataComNumber[2] = {3, 4};
inline constexpr int kControlComNumber = 9;

// Bytes as the protocol carries them: two upper-case hex digits each.
inline std::string to_hex(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (std::uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

// Appends the bytes of a hex text; false for an odd length or a character that is no hex digit.
inline bool from_hex(const std::string& hex, std::vector<std::uint8_t>& bytes)
{
    if (hex.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

} // namespace kvtest
