// POSIX helpers of the serial backend: where a Windows device path points, and what an errno
// says about an open that failed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "serial/serial_port.h"

inline constexpr char kDefaultComDir[] = "/dev/kvcom";

// "\\.\COMn" becomes "<com_dir>/comn", so the same port names work natively (a test or a user
// links comn to a real port or a pseudo-terminal). Any other path is returned as it is.
std::string map_port_path(const char* device_path, const std::string& com_dir);

OpenFailure OpenFailureOfErrno(int error);

// The first line of a small regular file such as a sysfs attribute; none when it is missing or is
// something else (a FIFO in a made-up tree must not block a listing).
std::optional<std::string> ReadAttribute(const std::filesystem::path& path);
// That line as a number in `base` (10 or 16), at most eight digits; none when it is not one.
std::optional<std::uint32_t> ReadNumber(const std::filesystem::path& path, int base);
