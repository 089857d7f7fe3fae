// What the command line says of ports, through fakes: the slow-adapter note over a made-up sysfs
// tree and a serial backend that reports how its low-latency request went, and the reasons of a
// COM search that found nothing (the Windows search, which natively runs only under Wine).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cli/discovery.h"
#include "device/clock.h"
#include "device/device_connection.h"
#include "serial/serial_backend.h"
#include "tests/log/memory_text_control.h"

namespace {

namespace fs = std::filesystem;

// Never opens anything; only says how the last open's low-latency request went.
class LatencyBackend final : public SerialBackend {
public:
    explicit LatencyBackend(LowLatency request) : request_(request) {}
    std::intptr_t open(const char*) override { return kInvalidHandle; }
    void close(std::intptr_t) override {}
    bool get_line_settings(std::intptr_t, LineSettings&) override { return false; }
    bool set_line_settings(std::intptr_t, const LineSettings&) override { return false; }
    bool get_timeouts(std::intptr_t, CommTimeouts&) override { return false; }
    bool set_timeouts(std::intptr_t, const CommTimeouts&) override { return false; }
    bool set_queue_sizes(std::intptr_t, std::uint32_t, std::uint32_t) override { return false; }
    void purge(std::intptr_t) override {}
    bool read(std::intptr_t, void*, std::uint32_t, std::uint32_t&) override { return false; }
    bool write(std::intptr_t, const void*, std::uint32_t, std::uint32_t&) override { return false; }
    LowLatency low_latency() const override { return request_; }

private:
    LowLatency request_;
};

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
        ::setenv("KV_DEV_DIR", (root_ + "/dev").c_str(), 1);
        ::setenv("KV_SYSFS_DIR", (root_ + "/sys").c_str(), 1);
    }
    ~FakeAdapter()
    {
        ::unsetenv("KV_DEV_DIR");
        ::unsetenv("KV_SYSFS_DIR");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string node() const { return root_ + "/dev/ttyUSB0"; }
    std::string by_id() const { return root_ + "/dev/serial/by-id/usb-FTDI-if00-port0"; }

private:
    std::string root_;
};

struct Noted {
    std::vector<std::string> trace;
    std::string stderr_text;
};

Noted NoteFor(const std::string& port, LowLatency request)
{
    FakeClock clock;
    DeviceConnection connection(std::make_unique<LatencyBackend>(request), clock);
    MemoryTextControl log;
    LogSink sink{&log};
    connection.log_sink = &sink;
    testing::internal::CaptureStderr();
    NoteSlowAdapter(connection, port);
    Noted noted;
    noted.stderr_text = testing::internal::GetCapturedStderr();
    noted.trace = SplitLogLines(log.text());
    return noted;
}

TEST(SlowAdapterNote, ARefusedRequestOnA16MsAdapterIsTracedAndSaidOnceNamingTheNodeBehindTheLink)
{
    const FakeAdapter adapter("16");
    const std::string advice =
        ": the adapter's latency timer is 16 ms; at 1 ms updates run faster (as root: echo 1 "
        "> /sys/bus/usb-serial/devices/ttyUSB0/latency_timer)";
    const Noted noted = NoteFor(adapter.by_id(), LowLatency::refused);
    EXPECT_EQ(noted.trace, std::vector<std::string>{"QBKorvane: " + adapter.node() + advice});
    EXPECT_EQ(noted.stderr_text, "korvane-update: note: " + adapter.node() + advice + "\n");
}

TEST(SlowAdapterNote, NothingWhenTheRequestTookTheTimerIsShortOrThePortIsNotListed)
{
    {
        const FakeAdapter adapter("16");
        const Noted noted = NoteFor(adapter.node(), LowLatency::on);
        EXPECT_TRUE(noted.trace.empty());
        EXPECT_EQ(noted.stderr_text, "");
        EXPECT_EQ(NoteFor("/nonexistent/ttyUSB9", LowLatency::refused).stderr_text, "");
    }
    const FakeAdapter fast("2");
    const Noted noted = NoteFor(fast.node(), LowLatency::refused);
    EXPECT_TRUE(noted.trace.empty());
    EXPECT_EQ(noted.stderr_text, "");
}

TEST(NotFoundText, TheComSearchSaysEachPortTriedInOrder)
{
    FoundDevice search;
    search.attempts = {{"COM2", PortState::silent, 0},
                       {"COM4", PortState::bluetooth, 0},
                       {"COM6", PortState::in_use, 5},
                       {"COM7", PortState::answered, 0}};
    search.notes = {{"COM7", PortProbe::answered, "Vellum I v1.34.1"}};
    EXPECT_EQ(NotFoundText(search, false), "no device found\n"
                                           "  no device answered on COM2\n"
                                           "  COM4 is a Bluetooth serial link; it was not opened\n"
                                           "  cannot open COM6: in use by another program\n"
                                           "  the device on COM7 (\"Vellum I v1.34.1\") cannot be updated by "
                                           "this program");
    EXPECT_EQ(NotFoundText(FoundDevice{}, false), "no device found: no serial port is present");
    EXPECT_EQ(PortAttemptsJson(search.attempts),
              R"([{"port": "COM2", "state": "silent"}, {"port": "COM4", "state": "bluetooth"}, )"
              R"({"port": "COM6", "state": "in_use"}, {"port": "COM7", "state": "answered"}])");
    EXPECT_EQ(PortAttemptsJson({}), "[]");
}

} // namespace
