// The connection over a serial line in memory with a fake clock: every wait of a command passes
// on that clock, exactly as long as its time-out, so the logic around the waits is checked
// without waiting. The real time-outs are bounded on a pseudo-terminal in the other tests.
#include <chrono>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "device/device_connection.h"
#include "tools/memline/memory_serial_backend.h"
#include "test_support.h"

using namespace kvtest;
using std::chrono::milliseconds;

namespace {

class MemoryLine : public ::testing::Test {
protected:
    MemoryLine()
    {
        auto backend = std::make_unique<MemorySerialBackend>(clock);
        line = backend.get();
        line->add_port(ComPath(3));
        conn = std::make_unique<DeviceConnection>(std::move(backend), clock);
        conn->log_sink = &log.sink;
    }

    double ElapsedMs(std::chrono::nanoseconds since)
    {
        return std::chrono::duration<double, std::milli>(clock.now() - since).count();
    }

    FakeClock clock;
    MemoryLog log;
    MemorySerialBackend* line = nullptr; // owned by the connection's port
    std::unique_ptr<DeviceConnection> conn;
};

} // namespace

TEST_F(MemoryLine, OpeningWaitsItsPauseOnTheGivenClock)
{
    const auto start = clock.now();
    ASSERT_EQ(conn->OpenPort(ComPath(3).c_str()), KV_S_OK);
    EXPECT_EQ(ElapsedMs(start), 100.0);
    EXPECT_EQ(conn->port.timeouts().read_total_constant, 300u);
    EXPECT_EQ(conn->OpenPort(ComPath(4).c_str()), KV_E_PORT_NOT_INITIALIZED);
}

TEST_F(MemoryLine, ReadsEndOnTheirTimeOutsAsTheRecordSetsThem)
{
    ASSERT_EQ(conn->OpenPort(ComPath(3).c_str()), KV_S_OK);

    // Silence: the version read waits 110 ms plus 1 ms for each of its 3 bytes.
    auto start = clock.now();
    EXPECT_EQ(conn->GetFirmwareVersion(nullptr), KV_E_COMM_READ_FAILURE);
    EXPECT_EQ(ElapsedMs(start), 113.0);
    EXPECT_EQ(line->pending_written().size(), 0u);
    EXPECT_EQ(conn->port.timeouts().read_total_constant, 300u);

    // Ten of sixteen flash bytes: the read ends 200 ms after the last one.
    conn->hardware_info.capabilities = kCapFlashInfo;
    line->queue({Bytes(10, 0x11)});
    std::uint8_t flash[16] = {};
    start = clock.now();
    EXPECT_EQ(conn->GetFlashInfo(flash), KV_E_COMM_READ_FAILURE);
    EXPECT_EQ(ElapsedMs(start), 200.0);
}

TEST_F(MemoryLine, ABusyLockIsGivenUpAfter1200Ms)
{
    ASSERT_EQ(conn->OpenPort(ComPath(3).c_str()), KV_S_OK);
    DeviceLockGuard other(conn->device_lock());
    ASSERT_FALSE(other.busy());
    const auto start = clock.now();
    EXPECT_EQ(conn->GetFirmwareVersion(nullptr), KV_E_PORT_BUSY);
    EXPECT_EQ(ElapsedMs(start), 1200.0);
    EXPECT_EQ(line->statistics().writes, 0u);
    EXPECT_TRUE(conn->device_lock().held());
}

TEST_F(MemoryLine, ALateReplyIsPurgedBeforeTheNextRequest)
{
    ASSERT_EQ(conn->OpenPort(ComPath(3).c_str()), KV_S_OK);
    line->queue({Bytes{0x02, 0x14, 'A'}, /*late=*/true});
    EXPECT_EQ(conn->GetFirmwareVersion(nullptr), KV_E_COMM_READ_FAILURE);
    line->queue({Bytes{0x02, 0x15, 'A'}});
    FirmwareVersion v;
    EXPECT_EQ(conn->GetFirmwareVersion(&v), KV_S_OK);
    EXPECT_EQ(v.firmware_minor, 0x15);
}

TEST_F(MemoryLine, TheSearchFindsADeviceThatAnswersOnlyAt19200)
{
    // The far end answers the version request only once the line runs at 19200.
    line->set_script([this](std::uint32_t, const std::vector<std::uint8_t>& written) {
        if (written == Bytes{0x56, 0x56} && line->baud_rate() == 19200)
            return ReadStep{Bytes{0x01, 0x00, 'J'}};
        if (written == Bytes{0x45, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x4D} ||
            written == Bytes{0x48, 0x52, 0x07, 0x00, 0x01, 0xA2})
            return ReadStep{Bytes{'J', 0, 0, 'U', 0, 0, 0, 'J' + 'U'}};
        return ReadStep{};
    });
    char description[100];
    FirmwareVersion v;
    const auto start = clock.now();
    ASSERT_TRUE(conn->SearchForHardware(description, sizeof description, &v));
    EXPECT_STREQ(description, "Pinecrest v1.0.J");
    EXPECT_EQ(conn->link_speed_code, 7u);
    EXPECT_EQ(line->baud_rate(), 19200u);
    EXPECT_EQ(conn->hardware_info.interface_type, 1u);
    // COM0 to COM2 cost nothing; COM3: the two pauses, two unanswered version reads and two
    // speed-change pauses, then a prompt identification.
    EXPECT_EQ(ElapsedMs(start), 100.0 + 60.0 + 2 * 113.0 + 2 * 10.0);
}
