#include "tools/kvsim/pty_peer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kvsim {

using Clock = std::chrono::steady_clock;

std::uint32_t SpeedOfTermios(unsigned speed_constant)
{
    switch (static_cast<speed_t>(speed_constant)) {
    case B0: return 0;
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    default: return 0;
    }
}

namespace {

std::uint32_t BaudOf(int fd)
{
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return 0;
    return SpeedOfTermios(static_cast<unsigned>(cfgetospeed(&t)));
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

PtyPeer::PtyPeer() = default;

PtyPeer::~PtyPeer() { close(); }

void PtyPeer::set_arrival_handler(ArrivalHandler handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

bool PtyPeer::open()
{
    close();
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[128] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return false;
    }
    // Holding one slave descriptor keeps the master from reading EIO while the program under
    // test has the slave closed, and keeps the line settings between its opens.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (tcsetattr(slave, TCSANOW, &t) != 0 || wake < 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        if (wake >= 0)
            ::close(wake);
        ::close(slave);
        ::close(master);
        return false;
    }

    std::lock_guard lock(mutex_);
    master_fd_ = master;
    slave_hold_fd_ = slave;
    wake_fd_ = wake;
    slave_path_ = name;
    stop_ = false;
    hangup_ = false;
    output_.clear();
    line_free_ = {};
    thread_ = std::thread([this] { serve(); });
    return true;
}

void PtyPeer::close()
{
    std::thread to_join;
    {
        std::lock_guard lock(mutex_);
        if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
            // From the arrival handler: the serving loop hangs up once the handler returns.
            hangup_ = true;
            return;
        }
        stop_ = true;
        to_join = std::move(thread_);
    }
    wake();
    if (to_join.joinable())
        to_join.join();
    std::lock_guard lock(mutex_);
    close_fds();
}

void PtyPeer::close_fds()
{
    CloseFd(master_fd_);
    CloseFd(slave_hold_fd_);
    CloseFd(wake_fd_);
    output_.clear();
}

bool PtyPeer::is_open() const
{
    std::lock_guard lock(mutex_);
    return master_fd_ >= 0;
}

const std::string& PtyPeer::slave_path() const { return slave_path_; }

bool PtyPeer::link_as(const std::string& link_path)
{
    std::string target;
    {
        std::lock_guard lock(mutex_);
        target = slave_path_;
    }
    if (target.empty() || link_path.empty())
        return false;
    struct stat st {};
    // Replace a link, never a real file.
    if (lstat(link_path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return false;
    const std::string temp = link_path + ".kvsim-" + std::to_string(getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0)
        return false;
    if (::rename(temp.c_str(), link_path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::uint32_t PtyPeer::current_baud() const
{
    std::lock_guard lock(mutex_);
    return BaudOf(master_fd_);
}

std::vector<Arrival> PtyPeer::arrivals() const
{
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::vector<std::uint8_t> PtyPeer::received() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> all;
    for (const Arrival& a : arrivals_)
        all.insert(all.end(), a.bytes.begin(), a.bytes.end());
    return all;
}

bool PtyPeer::wait_for_bytes(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return received_count_ >= count; });
}

void PtyPeer::clear_received()
{
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    received_count_ = 0;
}

void PtyPeer::set_recording(bool on)
{
    std::lock_guard lock(mutex_);
    recording_ = on;
}

void PtyPeer::send(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay)
{
    send_paced(std::move(bytes), delay, {});
}

void PtyPeer::send_paced(std::vector<std::uint8_t> bytes, std::chrono::nanoseconds delay,
                         std::chrono::nanoseconds per_byte)
{
    {
        std::lock_guard lock(mutex_);
        if (master_fd_ < 0)
            return;
        Pending p;
        p.bytes = std::move(bytes);
        p.delay = delay < std::chrono::nanoseconds{} ? std::chrono::nanoseconds{} : delay;
        p.per_byte = per_byte < std::chrono::nanoseconds{} ? std::chrono::nanoseconds{} : per_byte;
        p.queued = Clock::now();
        output_.push_back(std::move(p));
    }
    wake();
}

void PtyPeer::discard_output()
{
    std::lock_guard lock(mutex_);
    output_.clear();
}

bool PtyPeer::output_idle() const
{
    std::lock_guard lock(mutex_);
    return output_.empty();
}

void PtyPeer::wake()
{
    std::lock_guard lock(mutex_);
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

Clock::time_point PtyPeer::write_due(bool* want_pollout)
{
    *want_pollout = false;
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    while (!output_.empty()) {
        Pending& p = output_.front();
        if (!p.started) {
            p.start = std::max(p.queued, line_free_) + p.delay;
            p.started = true;
        }
        std::size_t allowed = p.bytes.size();
        if (p.per_byte.count() > 0) {
            const auto since = now - p.start;
            allowed =
                since.count() < 0
                    ? 0
                    : std::min<std::size_t>(p.bytes.size(), static_cast<std::size_t>(since / p.per_byte) + 1);
        } else if (now < p.start) {
            allowed = 0;
        }
        if (allowed <= p.written)
            return p.start + p.per_byte * static_cast<long>(p.written);
        const ssize_t n = ::write(master_fd_, p.bytes.data() + p.written, allowed - p.written);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                *want_pollout = true;
                return Clock::time_point::max();
            }
            output_.clear(); // the line is gone; nothing more can be delivered
            return Clock::time_point::max();
        }
        p.written += static_cast<std::size_t>(n);
        if (p.written < p.bytes.size()) {
            if (p.written < allowed) {
                *want_pollout = true;
                return Clock::time_point::max();
            }
            continue;
        }
        line_free_ = std::max(now, p.start + p.per_byte * static_cast<long>(p.bytes.size()));
        output_.pop_front();
    }
    return Clock::time_point::max();
}

void PtyPeer::serve()
{
    int master = -1;
    int wake = -1;
    {
        std::lock_guard lock(mutex_);
        master = master_fd_;
        wake = wake_fd_;
    }
    std::vector<std::uint8_t> buffer(4096);
    bool master_broken = false;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_ || hangup_)
                break;
        }
        bool want_pollout = false;
        const auto next = write_due(&want_pollout);
        // An idle loop still wakes now and then; nothing depends on it but a missed signal.
        auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(500));
        if (next != Clock::time_point::max())
            wait = std::max(std::chrono::nanoseconds{}, std::min(wait, next - Clock::now()));
        if (master_broken)
            wait = std::chrono::milliseconds(50);
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        pollfd fds[2] = {{wake, POLLIN, 0}, {master, 0, 0}};
        if (!master_broken)
            fds[1].events = static_cast<short>(POLLIN | (want_pollout ? POLLOUT : 0));
        const int ready = ppoll(fds, master_broken ? 1 : 2, &ts, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wake, &count, sizeof count);
        }
        if (!master_broken && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(master, buffer.data(), buffer.size());
            if (n > 0) {
                Arrival a;
                a.baud = BaudOf(master);
                a.when = Clock::now();
                a.bytes.assign(buffer.begin(), buffer.begin() + n);
                ArrivalHandler handler;
                {
                    std::lock_guard lock(mutex_);
                    if (recording_)
                        arrivals_.push_back(a);
                    received_count_ += a.bytes.size();
                    handler = handler_;
                }
                arrived_.notify_all();
                if (handler)
                    handler(a);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Cannot happen while the held slave stays open; back off rather than spin.
                master_broken = true;
            }
        }
    }
    std::lock_guard lock(mutex_);
    if (hangup_ && !stop_) {
        // Hang-up from the handler: close here; the thread object is joined by close()/open().
        close_fds();
    }
}

} // namespace kvsim
