// The program-under-test side of a pseudo-terminal for the tools' tests: a plain raw POSIX
// descriptor, so these tests do not lean on the product's serial port.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kvtest {

class SlaveFd {
public:
    explicit SlaveFd(const std::string& path, speed_t speed = B115200)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0)
            set_speed(speed);
    }
    ~SlaveFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SlaveFd(const SlaveFd&) = delete;
    SlaveFd& operator=(const SlaveFd&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool set_speed(speed_t speed)
    {
        termios t{};
        if (tcgetattr(fd_, &t) != 0)
            return false;
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    void purge() { tcflush(fd_, TCIOFLUSH); }

    bool write_all(const std::vector<std::uint8_t>& bytes)
    {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until count bytes arrived or timeout passed since the call; returns what arrived.
    std::vector<std::uint8_t> read_exact(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::vector<std::uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::uint8_t buf[4096];
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() < 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            if (p.revents & (POLLHUP | POLLERR)) {
                hung_up_ = true;
                if (!(p.revents & POLLIN))
                    break;
            }
            const std::size_t want = std::min(sizeof buf, count - got.size());
            const ssize_t n = ::read(fd_, buf, want);
            if (n <= 0) {
                hung_up_ = true;
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // Sends a request after a purge, as the product does, and reads an exact reply.
    std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& request, std::size_t reply_size,
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(1000))
    {
        purge();
        if (!write_all(request))
            return {};
        return read_exact(reply_size, timeout);
    }

    bool hung_up() const { return hung_up_; }

private:
    int fd_ = -1;
    bool hung_up_ = false;
};

} // namespace kvtest
