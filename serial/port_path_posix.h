// Where a Windows device path points on a POSIX machine.
#pragma once

#include <string>

// "\\.\COMn" becomes "<dir>/comn", <dir> being $KV_COM_DIR or /dev/kvcom, so the same port names
// work natively (a test or a user links comn to a real port or a pseudo-terminal). Any other path
// is returned as it is.
std::string map_port_path(const char* device_path);
