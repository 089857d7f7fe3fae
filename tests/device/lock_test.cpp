// The device lock: a busy lock makes every command give up after 1200 ms without sending or
// releasing anything, and two threads' commands never interleave on the wire.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim_fixture.h"

using namespace kvtest;
using std::chrono::steady_clock;

class DeviceLock : public SimTest {
protected:
    DeviceLock() : SimTest(/*real_time=*/true) {}
};

TEST_F(DeviceLock, BusyCommandsSendNothingAndLeaveTheLockHeld)
{
    kvsim::DeviceConfig config = Model('O', 10, 15);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    Reset();

    ASSERT_EQ(conn.AcquireDeviceLock(), LockResult::acquired);
    ASSERT_EQ(conn.lock_free.load(), 0u);
    // The holder's exchange needs a long time-out; a busy command must not change it.
    ASSERT_TRUE(conn.port.set_read_timeout(6000));

    struct Outcome {
        std::int32_t result;
        double ms;
    };
    auto timed = [](auto command) {
        return std::async(std::launch::async, [command] {
            const auto start = steady_clock::now();
            const std::int32_t result = command();
            return Outcome{result, MsSince(start)};
        });
    };
    std::uint8_t buffer[16];
    std::uint8_t eeprom[7];
    std::uint8_t serial[9];
    std::vector<std::future<Outcome>> outcomes;
    outcomes.push_back(timed([&] { return conn.GetFirmwareVersion(nullptr); }));
    outcomes.push_back(timed([&] { return conn.ReadEEPROM(eeprom, 1, 7); }));
    outcomes.push_back(timed([&] { return conn.RequestSerial(serial); }));
    outcomes.push_back(timed([&] { return conn.GetEmulationBank(buffer, false); }));
    outcomes.push_back(timed([&] { return conn.SetUSBBaud(0); }));
    for (auto& f : outcomes) {
        const Outcome o = f.get();
        EXPECT_EQ(o.result, KV_E_PORT_BUSY);
        EXPECT_GE(o.ms, 1190.0);
        EXPECT_LT(o.ms, 2500.0);
    }

    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(conn.lock_free.load(), 0u);
    EXPECT_FALSE(conn.lock_event.wait_for(std::chrono::milliseconds(0))); // nobody signalled it
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 6000u);
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_TRUE(LogHas("QBKorvane: SetUSBBaud to 921600, Force = TRUE FAILED with KV_E_PORT_BUSY"));

    conn.ReleaseDeviceLock();
    EXPECT_EQ(conn.lock_free.load(), 1u);
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    EXPECT_EQ(conn.lock_free.load(), 1u);
}

TEST_F(DeviceLock, EveryExitOfACommandReleasesIt)
{
    kvsim::DeviceConfig config = Model('O', 10, 15);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    config.faults = {{0, kvsim::Fault::question, 0, -1}};
    sim.set_config(config);
    std::uint8_t buffer[16];
    // Failing exchanges: each must hand the lock back, or the next command would wait 1200 ms.
    EXPECT_NE(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    EXPECT_NE(conn.ReadEEPROM(buffer, 1, 7), KV_S_OK);
    EXPECT_NE(conn.GetEmulationBank(buffer, false), KV_S_OK);
    EXPECT_NE(conn.RequestSerial(buffer), KV_S_OK);
    EXPECT_EQ(conn.lock_free.load(), 1u);
    const auto start = steady_clock::now();
    EXPECT_EQ(conn.AcquireDeviceLock(), LockResult::acquired);
    EXPECT_LT(MsSince(start), 50.0);
    conn.ReleaseDeviceLock();
}

TEST_F(DeviceLock, CommandsFromTwoThreadsDoNotInterleave)
{
    kvsim::DeviceConfig config = Model('O', 10, 15);
    config.active_bank = 3;
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    conn.log_sink = nullptr;
    Reset();

    constexpr int kRounds = 25;
    std::atomic<int> failures{0};
    std::thread versions([&] {
        for (int i = 0; i < kRounds; ++i) {
            FirmwareVersion v;
            if (conn.GetFirmwareVersion(&v) != KV_S_OK || v.firmware_major != 10 || v.hardware_letter != 'O')
                ++failures;
        }
    });
    std::thread banks([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::uint8_t bank = 0;
            std::uint8_t info[7];
            if (conn.GetEmulationBank(&bank, false) != KV_S_OK || bank != 3)
                ++failures;
            if (conn.ReadEEPROM(info, 1, 7) != KV_S_OK || info[0] != 'X')
                ++failures;
        }
    });
    versions.join();
    banks.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sim.frames().size(), static_cast<std::size_t>(3 * kRounds));
    EXPECT_EQ(conn.lock_free.load(), 1u);
}
