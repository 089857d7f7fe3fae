#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>

#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

#include "serial/port_path_posix.h"
#include "serial/serial_backend.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
// Totals beyond this (some 35 years) are waits without end; it keeps the clock arithmetic exact.
constexpr std::uint64_t kEndlessMs = std::uint64_t{1} << 40;
constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kTwoStopBits = 2;
constexpr std::uint8_t kOddParity = 1;
constexpr std::uint8_t kEvenParity = 2;

struct SpeedEntry {
    std::uint32_t rate;
    speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B921600 // the fast rates have constants of their own where the system names them
    {460800, B460800},   {500000, B500000},   {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    {1500000, B1500000}, {2000000, B2000000},
#endif
};

// macOS and the BSDs take the bit rate itself as the speed value, any rate the driver can make.
constexpr bool kSpeedIsRate = B38400 == 38400;

bool speed_constant_of(std::uint32_t rate, speed_t& constant)
{
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.rate == rate) {
            constant = entry.constant;
            return true;
        }
    }
    if constexpr (kSpeedIsRate) {
        constant = static_cast<speed_t>(rate);
        return rate != 0;
    }
    return false;
}

std::uint32_t rate_of(speed_t constant)
{
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.constant == constant) {
            return entry.rate;
        }
    }
    if constexpr (kSpeedIsRate) {
        return static_cast<std::uint32_t>(constant);
    }
    return 0;
}

int as_fd(std::intptr_t handle) { return static_cast<int>(handle); }

// A USB serial adapter holds short replies back for up to 16 ms by default, and every chunk of an
// upload waits for its one-byte answer: ask the driver to hand them on at once. Drivers without
// the setting (a pseudo-terminal) refuse the query, and the port works as before. `turned_on`
// tells whether this call switched it on, so that closing switches it off again.
LowLatency request_low_latency([[maybe_unused]] int fd, bool& turned_on)
{
    turned_on = false;
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return LowLatency::refused;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return LowLatency::on;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) {
        return LowLatency::refused;
    }
    // Some drivers accept the call and drop the flag.
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        return LowLatency::refused;
    }
    turned_on = true;
    return LowLatency::on;
#else
    return LowLatency::refused;
#endif
}

void restore_latency([[maybe_unused]] int fd)
{
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
#endif
}

enum class Wait { kReady, kTimedOut, kHungUp };

// Waits for the descriptor until the deadline (none: for ever). Plain poll, which every POSIX system
// has; its whole milliseconds are rounded up, so a wait never ends before the deadline.
Wait wait_ready(int fd, short events, bool bounded, Clock::time_point deadline)
{
    for (;;) {
        int wait_ms = -1;
        if (bounded) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return Wait::kTimedOut;
            }
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            wait_ms =
                ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(ms);
        }
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, wait_ms);
        if (ready > 0) {
            return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? Wait::kHungUp : Wait::kReady;
        }
        if (ready < 0 && errno != EINTR) {
            return Wait::kHungUp;
        }
    }
}

// Who may open a node, read when its open was refused: the answer belongs to that moment.
NodeAccess NodeAccessOf(const std::string& path)
{
    NodeAccess node;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return node;
    node.known = true;
    const passwd* owner = getpwuid(st.st_uid);
    node.owner = owner != nullptr ? owner->pw_name : std::to_string(st.st_uid);
    const group* g = getgrgid(st.st_gid);
    node.group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    node.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    return node;
}

class PosixSerialBackend final : public SerialBackend {
public:
    explicit PosixSerialBackend(std::string com_dir) : com_dir_(std::move(com_dir)) {}

    std::intptr_t open(const char* device_path) override
    {
        if (device_path == nullptr ||
            strnlen(device_path, SerialPort::kPathCapacity) > SerialPort::kMaxPathLength) {
            return fail(OpenFailure::path_too_long, ENAMETOOLONG);
        }
        const std::string path = map_port_path(device_path, com_dir_);
        if (path.empty()) {
            return fail(OpenFailure::absent, ENOENT);
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            fail(OpenFailureOfErrno(error), error);
            if (error_.failure == OpenFailure::no_permission)
                error_.node = NodeAccessOf(path);
            return kInvalidHandle;
        }
        // A regular file, a FIFO or a socket would take the port's writes as data.
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
            ::close(fd);
            return fail(OpenFailure::not_a_port, ENOTTY);
        }
        // Exclusive like share mode 0. TIOCEXCL does not stop root, so the advisory lock, which
        // every opener through this class takes, is what refuses a second open.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            return fail(error == EWOULDBLOCK ? OpenFailure::in_use : OpenFailure::other, error);
        }
        // What the terminal was set to before, for close to put back: a probe of a port that
        // holds no device must not leave it raw and at another speed.
        have_saved_ = tcgetattr(fd, &saved_) == 0;
        exclusive_ = ioctl(fd, TIOCEXCL) == 0;
        low_latency_ = request_low_latency(fd, low_latency_set_);
        timeouts_ = {};
        dtr_on_ = false;
        rts_on_ = false;
        have_attributes_ = false;
        return fd;
    }

    void close(std::intptr_t handle) override
    {
        const int fd = as_fd(handle);
        if (low_latency_set_) {
            restore_latency(fd);
        }
        low_latency_set_ = false;
        if (have_saved_) {
            tcsetattr(fd, TCSANOW, &saved_);
        }
        have_saved_ = false;
        // The exclusive flag belongs to the terminal, not the descriptor: it would outlive this
        // close while anyone else (a peer holding the slave) keeps the terminal open.
        if (exclusive_) {
            ioctl(fd, TIOCNXCL);
        }
        exclusive_ = false;
        ::close(fd);
    }

    BackendError last_error() const override { return error_; }
    LowLatency low_latency() const override { return low_latency_; }

    bool get_line_settings(std::intptr_t handle, LineSettings& settings) override
    {
        termios attributes{};
        if (tcgetattr(as_fd(handle), &attributes) != 0) {
            return fail_call(errno);
        }
        attributes_ = attributes;
        have_attributes_ = true;
        settings.baud_rate = rate_of(cfgetospeed(&attributes));
        switch (attributes.c_cflag & CSIZE) {
        case CS5: settings.byte_size = 5; break;
        case CS6: settings.byte_size = 6; break;
        case CS7: settings.byte_size = 7; break;
        default: settings.byte_size = 8; break;
        }
        settings.parity = (attributes.c_cflag & PARENB) == 0   ? 0
                          : (attributes.c_cflag & PARODD) != 0 ? kOddParity
                                                               : kEvenParity;
        settings.stop_bits = (attributes.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
        settings.cts_flow = (attributes.c_cflag & CRTSCTS) != 0;
        settings.dsr_flow = false;
        int lines = 0;
        if (ioctl(as_fd(handle), TIOCMGET, &lines) == 0) {
            settings.dtr_on = (lines & TIOCM_DTR) != 0;
            settings.rts_on = (lines & TIOCM_RTS) != 0;
        } else {
            // A pseudo-terminal has no modem lines: report what was last asked for.
            settings.dtr_on = dtr_on_;
            settings.rts_on = rts_on_;
        }
        return true;
    }

    bool set_line_settings(std::intptr_t handle, const LineSettings& settings) override
    {
        const int fd = as_fd(handle);
        speed_t speed = B0;
        if (!have_attributes_ || !speed_constant_of(settings.baud_rate, speed) || settings.dsr_flow ||
            settings.parity > kEvenParity) {
            return fail_call(EINVAL);
        }
        termios attributes = attributes_;
        // Raw bytes both ways: the device protocol is binary, so no software flow control, no
        // line editing, no translation of CR or LF.
        attributes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                                     ICRNL | IXON | IXOFF | IXANY);
        attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        switch (settings.byte_size) {
        case 5: attributes.c_cflag |= CS5; break;
        case 6: attributes.c_cflag |= CS6; break;
        case 7: attributes.c_cflag |= CS7; break;
        case 8: attributes.c_cflag |= CS8; break;
        default: return fail_call(EINVAL);
        }
        if (settings.parity != 0) {
            attributes.c_cflag |= PARENB;
            if (settings.parity == kOddParity) {
                attributes.c_cflag |= PARODD;
            }
        }
        if (settings.stop_bits != kOneStopBit) {
            attributes.c_cflag |= CSTOPB; // one and a half has no terminal setting; two is nearest
        }
        if (settings.cts_flow) {
            attributes.c_cflag |= CRTSCTS;
        }
        attributes.c_cflag |= CLOCAL | CREAD;
        attributes.c_cc[VMIN] = 0;
        attributes.c_cc[VTIME] = 0;
        if (cfsetispeed(&attributes, speed) != 0 || cfsetospeed(&attributes, speed) != 0 ||
            tcsetattr(fd, TCSANOW, &attributes) != 0) {
            return fail_call(errno);
        }
        // tcsetattr succeeds when any one change took; the speed is the one that matters.
        termios check{};
        if (tcgetattr(fd, &check) != 0) {
            return fail_call(errno);
        }
        if (cfgetospeed(&check) != speed) {
            return fail_call(EINVAL);
        }
        attributes_ = check;
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        ioctl(fd, settings.dtr_on ? TIOCMBIS : TIOCMBIC, &dtr);
        ioctl(fd, settings.rts_on ? TIOCMBIS : TIOCMBIC, &rts);
        dtr_on_ = settings.dtr_on;
        rts_on_ = settings.rts_on;
        return true;
    }

    bool get_timeouts(std::intptr_t handle, CommTimeouts& timeouts) override
    {
        if (fcntl(as_fd(handle), F_GETFD) < 0) {
            return false;
        }
        timeouts = timeouts_;
        return true;
    }

    bool set_timeouts(std::intptr_t handle, const CommTimeouts& timeouts) override
    {
        if (fcntl(as_fd(handle), F_GETFD) < 0) {
            return false;
        }
        timeouts_ = timeouts;
        return true;
    }

    bool set_queue_sizes(std::intptr_t handle, std::uint32_t, std::uint32_t) override
    {
        // The terminal's queues have a fixed size of their own, larger than asked for.
        return fcntl(as_fd(handle), F_GETFD) >= 0;
    }

    void purge(std::intptr_t handle) override { tcflush(as_fd(handle), TCIOFLUSH); }

    bool read(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        const int fd = as_fd(handle);
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        const auto start = Clock::now();
        const CommTimeouts t = timeouts_;

        // The special cases of COMMTIMEOUTS: MAXDWORD interval with no totals returns at once
        // with what is there; with MAXDWORD multiplier and a constant, it returns as soon as
        // anything arrives, or with nothing when the constant has passed.
        const bool return_at_once =
            t.read_interval == kMaxDword && t.read_total_multiplier == 0 && t.read_total_constant == 0;
        const bool return_on_first = t.read_interval == kMaxDword && t.read_total_multiplier == kMaxDword &&
                                     t.read_total_constant != 0 && t.read_total_constant != kMaxDword;
        bool total_bounded = false;
        Clock::time_point total_deadline{};
        if (return_on_first) {
            total_bounded = true;
            total_deadline = start + std::chrono::milliseconds(t.read_total_constant);
        } else if (!return_at_once && (t.read_total_multiplier != 0 || t.read_total_constant != 0)) {
            const std::uint64_t total_ms =
                static_cast<std::uint64_t>(t.read_total_multiplier) * count + t.read_total_constant;
            total_bounded = total_ms < kEndlessMs;
            total_deadline = start + std::chrono::milliseconds(total_bounded ? total_ms : 0);
        }
        const bool interval_used = !return_at_once && !return_on_first && t.read_interval != 0;

        std::uint32_t got = 0;
        Clock::time_point last_arrival{};
        bool hung_up = false;
        while (got < count) {
            // With VMIN and VTIME 0 a terminal read returns 0 when nothing waits.
            const ssize_t n = ::read(fd, bytes + got, count - got);
            if (n > 0) {
                got += static_cast<std::uint32_t>(n);
                last_arrival = Clock::now();
                if (return_on_first) {
                    break;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                hung_up = true;
            }
            if (hung_up) {
                // The line is gone. Bytes already taken from it are still reported.
                if (got == 0) {
                    return false;
                }
                break;
            }
            if (return_at_once) {
                break;
            }
            bool bounded = total_bounded;
            Clock::time_point deadline = total_deadline;
            if (interval_used && got > 0) {
                const auto interval_deadline = last_arrival + std::chrono::milliseconds(t.read_interval);
                if (!bounded || interval_deadline < deadline) {
                    deadline = interval_deadline;
                }
                bounded = true;
            }
            const Wait result = wait_ready(fd, POLLIN, bounded, deadline);
            if (result == Wait::kTimedOut) {
                break;
            }
            // After a hang-up, one more read takes what was still buffered.
            hung_up = result == Wait::kHungUp;
        }
        done = got;
        return true;
    }

    bool write(std::intptr_t handle, const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        const int fd = as_fd(handle);
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        const CommTimeouts t = timeouts_;
        const std::uint64_t total_ms =
            static_cast<std::uint64_t>(t.write_total_multiplier) * count + t.write_total_constant;
        const bool bounded = total_ms != 0 && total_ms < kEndlessMs;
        const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? total_ms : 0);
        std::uint32_t put = 0;
        while (put < count) {
            const ssize_t n = ::write(fd, bytes + put, count - put);
            if (n > 0) {
                put += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                if (put == 0) {
                    return false;
                }
                break;
            }
            if (wait_ready(fd, POLLOUT, bounded, deadline) != Wait::kReady) {
                break;
            }
        }
        done = put;
        return true;
    }

private:
    std::intptr_t fail(OpenFailure failure, int code)
    {
        error_ = {failure, code, {}};
        return kInvalidHandle;
    }

    bool fail_call(int code)
    {
        error_ = {code == ENOTTY ? OpenFailure::not_a_port : OpenFailure::other, code, {}};
        return false;
    }

    std::string com_dir_;
    BackendError error_;
    termios saved_{};
    bool have_saved_ = false;
    LowLatency low_latency_ = LowLatency::not_requested;
    termios attributes_{};
    bool have_attributes_ = false;
    bool exclusive_ = false;
    bool low_latency_set_ = false;
    bool dtr_on_ = false;
    bool rts_on_ = false;
    CommTimeouts timeouts_{};
};

} // namespace

std::unique_ptr<SerialBackend> make_serial_backend(const std::string& com_dir)
{
    return std::make_unique<PosixSerialBackend>(com_dir);
}

std::unique_ptr<SerialBackend> make_serial_backend()
{
    // The one place the library reads the environment: tests and benchmarks that build the
    // connection with its defaults point the COM folder elsewhere with it.
    const char* dir = std::getenv("KV_COM_DIR");
    return make_serial_backend(dir != nullptr && dir[0] != '\0' ? dir : kDefaultComDir);
}
