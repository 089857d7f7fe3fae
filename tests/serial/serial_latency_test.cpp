// The low-latency request of the POSIX backend on a real serial driver. Pseudo-terminals have no
// such setting, so this needs a serial node that answers TIOCGSERIAL (KV_TEST_SERIAL_NODE, or the
// first on-board port); without one, or when the node is busy, the case is skipped. Every other
// serial test runs on pseudo-terminals and so covers a driver that refuses the request.
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "serial/serial_backend.h"
#include "serial/serial_port.h"

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

namespace {

#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)

// -1 when the flag cannot be read, else 0 or 1.
int LowLatencyOf(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    serial_struct serial{};
    const int result = ioctl(fd, TIOCGSERIAL, &serial) == 0 ? ((serial.flags & ASYNC_LOW_LATENCY) != 0) : -1;
    ::close(fd);
    return result;
}

TEST(SerialLowLatency, SetWhileOpenAndRestoredOnClose)
{
    const char* node = std::getenv("KV_TEST_SERIAL_NODE");
    const std::string path = node != nullptr ? node : "/dev/ttyS0";
    const int before = LowLatencyOf(path);
    if (before < 0)
        GTEST_SKIP() << path << " has no serial driver settings here";
    if (before == 1)
        GTEST_SKIP() << path << " already runs with low latency; nothing to restore";

    SerialPort port{make_serial_backend()};
    if (!port.open(path.c_str()))
        GTEST_SKIP() << path << " is held by someone else";
    EXPECT_EQ(LowLatencyOf(path), 1);
    port.close();
    EXPECT_EQ(LowLatencyOf(path), 0);
}

#endif

} // namespace
