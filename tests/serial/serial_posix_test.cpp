// What only the POSIX backend has: the COM path mapping, and behaviour that needs a bare
// pseudo-terminal (no reader at all) or signals.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log/log.h"
#include "tests/log/memory_text_control.h"
#include "serial/port_path_posix.h"
#include "serial/serial_backend.h"
#include "serial/serial_port.h"
#include "tools/kvsim/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

// Sets or clears one environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv()
    {
        if (had_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/kv-serial-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            const std::string command = "rm -rf '" + path_ + "'";
            [[maybe_unused]] int rc = std::system(command.c_str());
        }
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(PortPathMapping, ComNamesGoToTheComDirectory)
{
    ScopedEnv env("KV_COM_DIR", "/tmp/ports");
    EXPECT_EQ(map_port_path("\\\\.\\COM7"), "/tmp/ports/com7");
    EXPECT_EQ(map_port_path("\\\\.\\COM12"), "/tmp/ports/com12");
    EXPECT_EQ(map_port_path("\\\\.\\com3"), "/tmp/ports/com3");
}

TEST(PortPathMapping, DefaultDirectoryWithoutTheVariable)
{
    ScopedEnv env("KV_COM_DIR", nullptr);
    EXPECT_EQ(map_port_path("\\\\.\\COM1"), "/dev/kvcom/com1");
}

TEST(PortPathMapping, AnythingElseIsUsedAsItIs)
{
    ScopedEnv env("KV_COM_DIR", "/tmp/ports");
    EXPECT_EQ(map_port_path("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(map_port_path("\\\\.\\COM"), "\\\\.\\COM");
    EXPECT_EQ(map_port_path("\\\\.\\COM3x"), "\\\\.\\COM3x");
    EXPECT_EQ(map_port_path("\\\\.\\LPT1"), "\\\\.\\LPT1");
    EXPECT_EQ(map_port_path("COM3"), "COM3");
    EXPECT_EQ(map_port_path(""), "");
    EXPECT_EQ(map_port_path(nullptr), "");
}

TEST(PosixSerialPort, OpensAComNameThroughItsLinkAndLogsTheNameAsGiven)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(peer.link_as(dir.path() + "/com7"));
    ScopedEnv env("KV_COM_DIR", dir.path().c_str());

    MemoryTextControl log;
    LogSink sink{&log};
    SerialPort port{make_serial_backend()};
    port.log_sink = &sink;
    ASSERT_TRUE(port.open("\\\\.\\COM7"));
    EXPECT_STREQ(port.device_path(), "\\\\.\\COM7");
    EXPECT_EQ(log.text(), "QBSerial: Successfully opened \\\\.\\COM7\r\n"
                          "QBSerial: \\\\.\\COM7 opened at 115200 baud");
    const std::uint8_t byte = 0x5A;
    EXPECT_EQ(port.write(&byte, 1), 1u);
    EXPECT_TRUE(peer.wait_for_bytes(1, milliseconds(2000)));
    EXPECT_FALSE(port.open("\\\\.\\COM8")) << "no link, no port";
    port.log_sink = nullptr;
}

TEST(PosixSerialPort, ALongPathOpensWhenItsFirst259CharactersNameThePort)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // Directories that bring the link's full path to exactly 259 characters.
    std::string path = dir.path();
    while (path.size() + 1 + 100 + 1 + 5 < 259) {
        path += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    const std::size_t name_length = 259 - path.size() - 1;
    const std::string link = path + "/" + std::string(name_length, 'p');
    ASSERT_EQ(link.size(), 259u);
    ASSERT_TRUE(peer.link_as(link));

    SerialPort port{make_serial_backend()};
    const std::string given = link + std::string(41, 'z');
    ASSERT_TRUE(port.open(given.c_str()));
    EXPECT_EQ(std::string(port.device_path()), link);
}

TEST(PosixSerialPort, UnsupportedSpeedFailsAndKeepsTheLine)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    MemoryTextControl log;
    LogSink sink{&log};
    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    port.log_sink = &sink;
    EXPECT_FALSE(port.set_baud_rate(12345));
    EXPECT_TRUE(port.is_open());
    EXPECT_EQ(log.text(), "QBSerial: SetCommState Failed");
    EXPECT_EQ(port.line_settings().baud_rate, 115200u);
    EXPECT_EQ(peer.current_baud(), 115200u);
    for (std::uint32_t rate : {9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u}) {
        EXPECT_TRUE(port.set_baud_rate(rate)) << rate;
        EXPECT_EQ(peer.current_baud(), rate);
    }
    port.log_sink = nullptr;
}

TEST(PosixSerialPort, OpenPutsTheLineInRawModeWithTheModemLinesOn)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    {
        // Start from a cooked terminal, as a fresh port would be.
        const int fd = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_iflag |= IXON | ICRNL;
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_oflag |= OPOST;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    // Opened before the port makes the terminal exclusive (only root would pass that).
    const int fd = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_TRUE(port.line_settings().dtr_on);
    EXPECT_TRUE(port.line_settings().rts_on);
}

TEST(PosixSerialPort, WriteIsBoundedByItsTotalTimeout)
{
    // A pseudo-terminal whose master nobody reads: the write fills the buffer and stalls.
    int master = -1;
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);

    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(name));
    ASSERT_TRUE(port.set_timeouts(200, 1, 300, 0, 250));
    std::vector<std::uint8_t> big(1 << 20, 0x55);
    const auto start = Clock::now();
    const std::uint32_t written = port.write(big.data(), static_cast<std::uint32_t>(big.size()));
    const long long ms = elapsed_ms(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(ms, 240);
    EXPECT_LE(ms, 450);
    port.close();
    ::close(slave);
    ::close(master);
}

void ignore_signal(int) {}

TEST(PosixSerialPort, SignalsDuringAReadNeitherEndNorStretchIt)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal; // no SA_RESTART: every wait sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    ASSERT_TRUE(port.set_timeouts(200, 1, 300, 0, 300));
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread pester([&] {
        while (!done) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(milliseconds(5));
        }
    });
    peer.send({1, 2}, milliseconds(100));
    std::uint8_t buffer[16] = {};
    const auto start = Clock::now();
    const std::uint32_t got = port.read(buffer, 16);
    const long long ms = elapsed_ms(start);
    done = true;
    pester.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(got, 2u);
    EXPECT_GE(ms, 300);
    EXPECT_LE(ms, 450);
}

TEST(PosixSerialPort, HugeTotalsMeanNoTimeOutRatherThanAnOverflow)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    ASSERT_TRUE(port.set_timeouts(0, 0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFEu));
    peer.send({1, 2, 3}, milliseconds(150));
    std::uint8_t buffer[3] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.read(buffer, 3), 3u);
    const long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 120);
    EXPECT_LE(ms, 1000);
    EXPECT_EQ(port.write(buffer, 3), 3u);
}

TEST(PosixSerialPort, HangUpEndsAReadAtOnce)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    ASSERT_TRUE(port.set_timeouts(0, 0, 0, 0, 300)); // would wait for ever
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        peer.close();
    });
    std::uint8_t buffer[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.read(buffer, 4), 0u);
    EXPECT_LE(elapsed_ms(start), 1000);
    closer.join();
}

} // namespace
