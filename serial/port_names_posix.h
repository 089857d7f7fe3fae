// The device nodes that count as candidate ports on one POSIX system; CMake picks the file.
#pragma once

// Node name prefixes in the device folder. Legacy on-board ports are left out: probing them only
// costs time and can disturb whatever is attached there.
extern const char* const kCandidatePortPrefixes[2];
extern const char kCandidatePortPatternsText[];
