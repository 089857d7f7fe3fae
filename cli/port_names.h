// The serial device nodes that the search without --port tries on one POSIX system.
#pragma once

// Node name prefixes in /dev; legacy on-board ports are left out, since probing them only
// costs time and can disturb whatever is attached there.
extern const char* const kSerialPortPrefixes[2];
extern const char kSerialPortPatternsText[];
extern const char kPortHelpText[];
