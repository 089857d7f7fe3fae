#include "package/package_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

PackageFile::~PackageFile() { close(); }

bool PackageFile::open(const char* path, Sharing sharing)
{
    close();
    failure_.clear();
    missing_ = false;
    if (path == nullptr || *path == '\0') {
        failure_ = std::strerror(ENOENT);
        missing_ = true;
        return false;
    }
    // O_NONBLOCK keeps a FIFO chosen by mistake from blocking the open; it is refused below.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        missing_ = errno == ENOENT;
        failure_ = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        failure_ = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
        ::close(fd);
        return false;
    }
    // Advisory locks stand in for the Win32 share modes: every opener of a package locks.
    const int lock = sharing == Sharing::exclusive ? LOCK_EX : LOCK_SH;
    if (::flock(fd, lock | LOCK_NB) != 0) {
        failure_ = "The file is in use by another program";
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    handle_ = fd;
    return true;
}

void PackageFile::close()
{
    if (handle_ == kClosed)
        return;
    ::close(static_cast<int>(handle_)); // releases the lock too
    handle_ = kClosed;
}

bool PackageFile::size(std::uint64_t* bytes) const
{
    if (handle_ == kClosed || bytes == nullptr)
        return false;
    struct stat st {};
    if (::fstat(static_cast<int>(handle_), &st) != 0 || st.st_size < 0)
        return false;
    *bytes = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::uint32_t PackageFile::read(void* buffer, std::uint32_t count)
{
    if (handle_ == kClosed || buffer == nullptr)
        return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(static_cast<int>(handle_), out + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            failure_ = std::strerror(errno);
        if (got <= 0)
            break;
        done += static_cast<std::uint32_t>(got);
    }
    return done;
}
