#include "serial/port_path_posix.h"

#include <cerrno>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::string map_port_path(const char* device_path, const std::string& com_dir)
{
    if (device_path == nullptr) {
        return {};
    }
    static constexpr char kPrefix[] = "\\\\.\\com";
    const std::size_t prefix_length = sizeof kPrefix - 1;
    std::size_t i = 0;
    for (; i < prefix_length; ++i) {
        if (lower(device_path[i]) != kPrefix[i]) {
            return device_path;
        }
    }
    const char* number = device_path + prefix_length;
    std::size_t digits = 0;
    while (is_digit(number[digits])) {
        ++digits;
    }
    if (digits == 0 || number[digits] != '\0') {
        return device_path;
    }
    std::string mapped = com_dir.empty() ? kDefaultComDir : com_dir;
    if (mapped.back() != '/') {
        mapped += '/';
    }
    mapped += "com";
    mapped.append(number, digits);
    return mapped;
}

OpenFailure OpenFailureOfErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return OpenFailure::absent;
    case EBUSY:
    case EWOULDBLOCK: return OpenFailure::in_use; // TIOCEXCL, or the advisory lock of another opener
    case EACCES:
    case EPERM: return OpenFailure::no_permission;
    case EISDIR:
    case ENOTTY: return OpenFailure::not_a_port;
    case ENAMETOOLONG: return OpenFailure::path_too_long;
    default: return OpenFailure::other;
    }
}
