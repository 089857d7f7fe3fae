#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/record.h"

namespace {

// Why a file of this type cannot take the record, or null when it can.
const char* NotARegularFile(mode_t mode)
{
    if (S_ISREG(mode))
        return nullptr;
    if (S_ISFIFO(mode))
        return "that is a FIFO (a named pipe), not a regular file";
    if (S_ISDIR(mode))
        return "that is a folder, not a regular file";
    if (S_ISSOCK(mode))
        return "that is a socket, not a regular file";
    return "that is a device, not a regular file";
}

// Holds the lock on the record that every run writing to it takes, for one record.
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd)
    {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(fd_, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

} // namespace

RecordFile::~RecordFile()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

bool RecordFile::Open(const std::string& path, std::string& error)
{
    path_ = path;
    // Looked at before it is opened: opening a FIFO waits for a reader, and opening a device can
    // wake it (a serial port raises its control lines).
    struct stat before {};
    if (::stat(path.c_str(), &before) == 0 && NotARegularFile(before.st_mode) != nullptr) {
        error = NotARegularFile(before.st_mode);
        return false;
    }
    // Readable for the look at its last byte; non-blocking all the same, for a FIFO put there since
    // the look above.
    constexpr int kFlags = O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), O_RDWR | kFlags, 0666);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_WRONLY | kFlags, 0666); // its last byte then goes unseen
    if (fd < 0) {
        error = errno == ENXIO ? NotARegularFile(S_IFIFO) : std::strerror(errno);
        return false;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || NotARegularFile(opened.st_mode) != nullptr) {
        error = NotARegularFile(opened.st_mode) != nullptr ? NotARegularFile(opened.st_mode)
                                                           : std::strerror(errno);
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool RecordFile::Is(const std::string& path) const
{
    struct stat mine {};
    struct stat other {};
    return handle_ >= 0 && ::fstat(static_cast<int>(handle_), &mine) == 0 &&
           ::stat(path.c_str(), &other) == 0 && mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

bool RecordFile::AppendText(const std::string& line, std::string& error)
{
    const int fd = static_cast<int>(handle_);
    if (fd < 0) {
        error = std::strerror(EBADF);
        return false;
    }
    const FileLock lock(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const off_t length = status.st_size;
    std::string text;
    char last = '\n';
    if (length > 0 && ::pread(fd, &last, 1, length - 1) == 1 && last != '\n')
        text += '\n';
    text += line;

    // One write; only one that the system cut short is continued, still under the lock.
    int failure = 0;
    for (std::size_t done = 0; done < text.size() && failure == 0;) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0)
            failure = EIO;
        else if (errno != EINTR)
            failure = errno;
    }
    if (failure == 0 && ::fsync(fd) != 0)
        failure = errno;
    if (failure == 0)
        return true;
    // Whatever part got there is taken back: a cut line would spoil the next record too.
    while (::ftruncate(fd, length) != 0 && errno == EINTR) {
    }
    error = std::strerror(failure);
    return false;
}
