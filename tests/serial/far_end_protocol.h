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

namespace kvtest {

inline constexpr int kDataComNumber[2] = {3, 4};
inline constexpr int kControlComNumber = 9;

} // namespace kvtest
