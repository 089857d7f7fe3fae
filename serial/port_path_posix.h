// POSIX helpers of the serial backend: where a Windows device path points, and what an errno
// says about an open that failed.
#pragma once

#include <string>

#include "serial/serial_port.h"

inline constexpr char kDefaultComDir[] = "/dev/kvcom";

// "\\.\COMn" becomes "<com_dir>/comn", so the same port names work natively (a test or a user
// links comn to a real port or a pseudo-terminal). Any other path is returned as it is.
std::string map_port_path(const char* device_path, const std::string& com_dir);

OpenFailure OpenFailureOfErrno(int error);
