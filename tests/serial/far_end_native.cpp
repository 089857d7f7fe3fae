#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "tests/serial/far_end.h"
#include "tools/kvsim/pty_peer.h"

namespace kvtest {
namespace {

bool speed_constant(std::uint32_t rate, speed_t& constant)
{
    switch (rate) {
    case 9600: constant = B9600; return true;
    case 19200: constant = B19200; return true;
    case 38400: constant = B38400; return true;
    case 57600: constant = B57600; return true;
    case 115200: constant = B115200; return true;
    case 230400: constant = B230400; return true;
    case 460800: constant = B460800; return true;
    case 921600: constant = B921600; return true;
    default: return false;
    }
}

class NativeFarEnd final : public FarEnd {
public:
    NativeFarEnd()
    {
        ready_ = true;
        for (int i = 0; i < 2; ++i) {
            ready_ = ready_ && peers_[i].open();
            // A descriptor of our own on the slave, for terminal attributes only: opened before
            // the port under test makes the terminal exclusive. Nothing is ever read from it.
            settings_fd_[i] =
                ready_ ? ::open(peers_[i].slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                       : -1;
            ready_ = ready_ && settings_fd_[i] >= 0;
        }
    }

    ~NativeFarEnd() override
    {
        for (int fd : settings_fd_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool ready() const override { return ready_; }
    std::string port_path(int port) const override { return peers_[port].slave_path(); }
    std::string missing_port_path() const override { return "/dev/kv-no-such-port"; }
    std::string non_serial_path() const override { return "/dev/null"; }
    bool under_wine() const override { return false; }

    FarLine line(int port) override
    {
        FarLine result;
        termios t{};
        if (tcgetattr(settings_fd_[port], &t) != 0) {
            return result;
        }
        result.speed = kvsim::SpeedOfTermios(static_cast<unsigned>(cfgetospeed(&t)));
        result.eight_bits = (t.c_cflag & CSIZE) == CS8;
        result.parity = (t.c_cflag & PARENB) != 0;
        result.two_stop_bits = (t.c_cflag & CSTOPB) != 0;
        result.hardware_flow = (t.c_cflag & CRTSCTS) != 0;
        result.canonical = (t.c_lflag & ICANON) != 0;
        result.valid = true;
        return result;
    }

    bool set_two_stop_bits(int port, bool on) override
    {
        termios t{};
        if (tcgetattr(settings_fd_[port], &t) != 0) {
            return false;
        }
        if (on) {
            t.c_cflag |= CSTOPB;
        } else {
            t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        }
        return tcsetattr(settings_fd_[port], TCSANOW, &t) == 0;
    }

    bool set_canonical(int port, bool on) override
    {
        termios t{};
        if (tcgetattr(settings_fd_[port], &t) != 0) {
            return false;
        }
        if (on) {
            t.c_lflag |= ICANON;
        } else {
            t.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        }
        return tcsetattr(settings_fd_[port], TCSANOW, &t) == 0;
    }

    bool set_speed(int port, std::uint32_t bits_per_second) override
    {
        termios t{};
        speed_t constant{};
        if (!speed_constant(bits_per_second, constant) || tcgetattr(settings_fd_[port], &t) != 0) {
            return false;
        }
        cfsetispeed(&t, constant);
        cfsetospeed(&t, constant);
        return tcsetattr(settings_fd_[port], TCSANOW, &t) == 0;
    }

    bool send(int port, const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds delay) override
    {
        peers_[port].send(bytes, delay);
        return true;
    }

    std::vector<std::uint8_t> take_received(int port, std::size_t count,
                                            std::chrono::milliseconds timeout) override
    {
        peers_[port].wait_for_bytes(count, timeout);
        std::vector<std::uint8_t> bytes = peers_[port].received();
        peers_[port].clear_received();
        return bytes;
    }

    void reset(int port) override
    {
        peers_[port].discard_output();
        peers_[port].clear_received();
    }

private:
    kvsim::PtyPeer peers_[2];
    int settings_fd_[2] = {-1, -1};
    bool ready_ = false;
};

} // namespace

std::unique_ptr<FarEnd> make_far_end() { return std::make_unique<NativeFarEnd>(); }

} // namespace kvtest
