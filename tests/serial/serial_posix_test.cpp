// What only the POSIX backend has: the COM path mapping, errno reasons, the terminal settings put
// back on close, and behaviour that needs a bare pseudo-terminal (no reader at all) or signals.
#include <atomic>
#include <cerrno>
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
#include "tests/serial/console_terminal.h"
#include "tools/kvsim/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

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
    EXPECT_EQ(map_port_path("\\\\.\\COM7", "/tmp/ports"), "/tmp/ports/com7");
    EXPECT_EQ(map_port_path("\\\\.\\COM12", "/tmp/ports/"), "/tmp/ports/com12");
    EXPECT_EQ(map_port_path("\\\\.\\com3", "/tmp/ports"), "/tmp/ports/com3");
    EXPECT_EQ(map_port_path("\\\\.\\COM1", ""), "/dev/kvcom/com1");
}

TEST(PortPathMapping, AnythingElseIsUsedAsItIs)
{
    EXPECT_EQ(map_port_path("/dev/ttyUSB0", "/tmp/ports"), "/dev/ttyUSB0");
    EXPECT_EQ(map_port_path("\\\\.\\COM", "/tmp/ports"), "\\\\.\\COM");
    EXPECT_EQ(map_port_path("\\\\.\\COM3x", "/tmp/ports"), "\\\\.\\COM3x");
    EXPECT_EQ(map_port_path("\\\\.\\LPT1", "/tmp/ports"), "\\\\.\\LPT1");
    EXPECT_EQ(map_port_path("COM3", "/tmp/ports"), "COM3");
    EXPECT_EQ(map_port_path("", "/tmp/ports"), "");
    EXPECT_EQ(map_port_path(nullptr, "/tmp/ports"), "");
}

TEST(PosixSerialPort, OpensAComNameThroughItsLinkAndLogsTheNameAsGiven)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(peer.link_as(dir.path() + "/com7"));

    MemoryTextControl log;
    LogSink sink{&log};
    SerialPort port{make_serial_backend(dir.path())};
    port.log_sink = &sink;
    ASSERT_TRUE(port.open("\\\\.\\COM7"));
    EXPECT_STREQ(port.device_path(), "\\\\.\\COM7");
    EXPECT_EQ(log.text(), "QBSerial: Successfully opened \\\\.\\COM7\r\n"
                          "QBSerial: \\\\.\\COM7 opened at 115200 baud");
    const std::uint8_t byte = 0x5A;
    EXPECT_EQ(port.write(&byte, 1), 1u);
    EXPECT_TRUE(peer.wait_for_bytes(1, milliseconds(2000)));
    EXPECT_FALSE(port.open("\\\\.\\COM8")) << "no link, no port";
    EXPECT_EQ(port.last_open_failure(), OpenFailure::absent);
    port.log_sink = nullptr;
}

TEST(PosixSerialPort, APathOpensOnlyWhenAll259CharactersFit)
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
    // The same link one character longer: its first 259 characters name the port above.
    const std::string longer = link + "z";
    ASSERT_TRUE(peer.link_as(longer));

    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(link.c_str()));
    EXPECT_EQ(std::string(port.device_path()), link);
    port.close();
    EXPECT_FALSE(port.open(longer.c_str()));
    EXPECT_EQ(port.last_open_failure(), OpenFailure::path_too_long);
    EXPECT_FALSE(port.open((link + std::string(41, 'z')).c_str()));
    EXPECT_EQ(port.last_open_failure(), OpenFailure::path_too_long);
}

// The reasons that a pseudo-terminal run as root cannot produce; the others are opened for real.
TEST(PosixOpenFailure, ErrnoValuesReadAsReasons)
{
    EXPECT_EQ(OpenFailureOfErrno(ENODEV), OpenFailure::absent);
    EXPECT_EQ(OpenFailureOfErrno(ENXIO), OpenFailure::absent);
    EXPECT_EQ(OpenFailureOfErrno(EBUSY), OpenFailure::in_use); // TIOCEXCL against anyone but root
    EXPECT_EQ(OpenFailureOfErrno(EACCES), OpenFailure::no_permission);
    EXPECT_EQ(OpenFailureOfErrno(EPERM), OpenFailure::no_permission);
    EXPECT_EQ(OpenFailureOfErrno(EIO), OpenFailure::other);
}

TEST(PosixOpenFailure, FilesFoldersAndPipesAreNoPortsAndNothingIsWrittenToThem)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.path() + "/firmware.qfw";
    {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "CQFW", 4), 4);
        ::close(fd);
    }
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    MemoryTextControl log;
    LogSink sink{&log};
    SerialPort port{make_serial_backend()};
    port.log_sink = &sink;
    for (const std::string& path : {file, dir.path(), fifo}) {
        SCOPED_TRACE(path);
        log.clear();
        const auto start = Clock::now();
        EXPECT_FALSE(port.open(path.c_str()));
        EXPECT_LT(elapsed_ms(start), 1000); // a FIFO without a reader must not block
        EXPECT_EQ(port.last_open_failure(), OpenFailure::not_a_port);
        EXPECT_EQ(
            SplitLogLines(log.text()),
            (std::vector<std::string>{"QBSerial: Open Port " + path + " Failed", "QBSerial: Port Closed"}));
    }
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_FALSE(port.open((file + "/below").c_str()));
    EXPECT_EQ(port.last_open_failure(), OpenFailure::absent); // ENOTDIR
    port.log_sink = nullptr;
}

TEST(PosixOpenFailure, ANodeThisUserMayNotOpenIsNoPermission)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens every node; the errno mapping above covers EACCES";
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    ASSERT_EQ(chmod(peer.slave_path().c_str(), 0), 0);
    SerialPort port{make_serial_backend()};
    EXPECT_FALSE(port.open(peer.slave_path().c_str()));
    EXPECT_EQ(port.last_open_failure(), OpenFailure::no_permission);
    EXPECT_EQ(port.last_open_error(), EACCES);
    // Who may open it, as it was when the open failed; another failure forgets it.
    EXPECT_TRUE(port.last_open_node().known);
    EXPECT_EQ(port.last_open_node().mode, 0u);
    EXPECT_FALSE(port.open("/nonexistent/ttyUSB9"));
    EXPECT_FALSE(port.last_open_node().known);
}

TEST(PosixSerialPort, APseudoTerminalRefusesLowLatency)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SerialPort port{make_serial_backend()};
    EXPECT_EQ(port.low_latency(), LowLatency::not_requested);
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    EXPECT_EQ(port.low_latency(), LowLatency::refused);
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

TEST(PosixSerialPort, TheLineIsRawWhileOpenAndTheConsoleSettingsComeBackOnClose)
{
    kvsim::PtyPeer peer;
    ASSERT_TRUE(peer.open());
    const kvtest::ConsoleTerminal console(peer.slave_path());
    ASSERT_TRUE(console.ok());
    SerialPort port{make_serial_backend()};
    ASSERT_TRUE(port.open(peer.slave_path().c_str()));
    ASSERT_TRUE(port.set_baud_rate(921600));
    const termios t = console.now();
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(cfgetospeed(&t), B921600);
    EXPECT_TRUE(port.line_settings().dtr_on);
    EXPECT_TRUE(port.line_settings().rts_on);

    port.close();
    console.ExpectAsTheConsoleLeftIt();
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
