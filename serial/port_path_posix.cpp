#include "serial/port_path_posix.h"

#include <cctype>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

constexpr std::size_t kAttributeLimit = 256;

} // namespace

std::optional<std::string> ReadAttribute(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    char buffer[kAttributeLimit];
    ssize_t got = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got < 0)
        return std::nullopt;
    std::string text(buffer, static_cast<std::size_t>(got));
    text = text.substr(0, text.find('\n'));
    return text;
}

std::optional<std::uint32_t> ReadNumber(const std::filesystem::path& path, int base)
{
    const std::optional<std::string> text = ReadAttribute(path);
    if (!text || text->empty() || text->size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : *text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(c) - 'a' + 10
                              : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    }
    return value;
}
