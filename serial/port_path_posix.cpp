#include "serial/port_path_posix.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kDefaultComDir[] = "/dev/kvcom";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::string map_port_path(const char* device_path)
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
    const char* dir = std::getenv("KV_COM_DIR");
    std::string mapped = dir != nullptr && dir[0] != '\0' ? dir : kDefaultComDir;
    if (mapped.back() != '/') {
        mapped += '/';
    }
    mapped += "com";
    mapped.append(number, digits);
    return mapped;
}
