// What is said of ports, through fakes: the slow-adapter note over a made-up sysfs tree, and each
// port a search tried as JSON.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cli/discovery.h"
#include "device/device_connection.h"

namespace {

namespace fs = std::filesystem;

// A device folder with ttyUSB0 and a by-id link to it, and a sysfs tree giving its adapter's
// latency timer; the command line is pointed at both for the test's length.
class FakeAdapter {
public:
    explicit FakeAdapter(const std::string& timer_ms)
    {
        std::string pattern = (fs::temp_directory_path() / "kv-cli-ports.XXXXXX").string();
        root_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        fs::create_directories(root_ + "/dev/serial/by-id");
        std::ofstream(root_ + "/dev/ttyUSB0");
        fs::create_symlink("../../ttyUSB0", root_ + "/dev/serial/by-id/usb-FTDI-if00-port0");
        const fs::path device = root_ + "/sys/devices/usb1/1-2/1-2:1.0/ttyUSB0";
        fs::create_directories(device);
        fs::create_directories(root_ + "/sys/class/tty/ttyUSB0");
        fs::create_directory_symlink(device, root_ + "/sys/class/tty/ttyUSB0/device");
        std::ofstream(device / "latency_timer") << timer_ms << "\n";
    }
    ~FakeAdapter()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::vector<PortInfo> ports() const { return ListPorts(PortRoots{root_ + "/dev", root_ + "/sys"}); }
    std::string node() const { return root_ + "/dev/ttyUSB0"; }
    std::string by_id() const { return root_ + "/dev/serial/by-id/usb-FTDI-if00-port0"; }

private:
    std::string root_;
};

TEST(SlowAdapterNote, ARefusedRequestOnA16MsAdapterNamesTheNodeBehindTheLink)
{
    const FakeAdapter adapter("16");
    EXPECT_EQ(SlowAdapterNote(adapter.ports(), adapter.by_id(), LowLatency::refused, LatencyAdvice::sysfs),
              adapter.node() +
                  ": the adapter's latency timer is 16 ms; at 1 ms updates run faster (as root: echo 1 "
                  "> /sys/bus/usb-serial/devices/ttyUSB0/latency_timer)");
}

TEST(SlowAdapterNote, NothingWhenTheRequestTookTheTimerIsShortOrThePortIsNotListed)
{
    {
        const FakeAdapter adapter("16");
        EXPECT_FALSE(SlowAdapterNote(adapter.ports(), adapter.node(), LowLatency::on, LatencyAdvice::sysfs));
        EXPECT_FALSE(SlowAdapterNote(adapter.ports(), "/nonexistent/ttyUSB9", LowLatency::refused,
                                     LatencyAdvice::sysfs));
    }
    const FakeAdapter fast("2");
    EXPECT_FALSE(SlowAdapterNote(fast.ports(), fast.node(), LowLatency::refused, LatencyAdvice::sysfs));
}

TEST(PortAttemptsJson, EachPortTriedWithItsStateInOrder)
{
    const std::vector<PortAttempt> attempts = {
        PortAttempt("COM2", PortState::silent), PortAttempt("COM4", PortState::bluetooth),
        PortAttempt("COM6", PortState::in_use, 5), PortAttempt("COM7", PortState::answered)};
    EXPECT_EQ(PortAttemptsJson(attempts),
              R"([{"port": "COM2", "state": "silent"}, {"port": "COM4", "state": "bluetooth"}, )"
              R"({"port": "COM6", "state": "in_use"}, {"port": "COM7", "state": "answered"}])");
    EXPECT_EQ(PortAttemptsJson({}), "[]");
}

} // namespace
