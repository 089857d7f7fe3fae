// The device lock as commands meet it: while another holds it, every command gives up after
// 1200 ms without sending or changing anything; two threads' commands never interleave on the
// wire; and every way out of every command gives it back.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/device_lock.h"
#include "sim_fixture.h"

using namespace kvtest;
using std::chrono::steady_clock;

namespace {

// Another thread holding the lock needs real time for the commands' waits.
class LockContention : public SimTest {
protected:
    LockContention() : SimTest(/*real_time=*/true) {}

    // A command on the connection gets the lock at once: nobody kept it.
    double MsToTakeTheLock()
    {
        const auto start = steady_clock::now();
        DeviceLockGuard probe(conn.device_lock());
        return probe.busy() ? 1e9 : MsSince(start);
    }
};

TEST_F(LockContention, BusyCommandsSendNothingAndLeaveTheHolderAlone)
{
    kvsim::DeviceConfig config = Model('O', 10, 15);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    Reset();

    DeviceLockGuard holder(conn.device_lock());
    ASSERT_FALSE(holder.busy());
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
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 6000u);
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_TRUE(LogHas("QBKorvane: SetUSBBaud to 921600, Force = TRUE FAILED with KV_E_PORT_BUSY"));
    // None of them gave the holder's lock away: the next command waits just the same.
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_E_PORT_BUSY);

    holder.release();
    const auto start = steady_clock::now();
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    EXPECT_LT(MsSince(start), 1000.0);
    EXPECT_LT(MsToTakeTheLock(), 100.0);
}

TEST_F(LockContention, CommandsFromTwoThreadsDoNotInterleave)
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
    EXPECT_LT(MsToTakeTheLock(), 100.0);
}

// On the fake clock a lock that was kept shows at once: the probe's wait times out without waiting.
class LockRelease : public SimTest {};

TEST_F(LockRelease, EveryWayOutOfEveryCommandGivesItBack)
{
    // Banked, with flash information and a Wayfarer mode: every command goes as far as the device.
    kvsim::DeviceConfig config = Model('N', 1, 0);
    config.eeprom[kvsim::kEepromWayfarerMode] = 3;
    Open(config);
    conn.log_sink = nullptr;

    std::uint8_t buffer[16];
    EEPROMInfo info;
    const std::vector<std::pair<const char*, std::function<std::int32_t()>>> commands = {
        {"GetFirmwareVersion", [&] { return conn.GetFirmwareVersion(nullptr); }},
        {"GetEEPROMInfo", [&] { return conn.GetEEPROMInfo(&info); }},
        {"ReadEEPROM", [&] { return conn.ReadEEPROM(buffer, 1, 7); }},
        {"RequestSerial", [&] { return conn.RequestSerial(buffer); }},
        {"GetEmulationBank", [&] { return conn.GetEmulationBank(buffer, false); }},
        {"GetEmulationBank R/W", [&] { return conn.GetEmulationBank(buffer, true); }},
        {"GetWayfarerMode", [&] { return conn.GetWayfarerMode(); }},
        {"GetWayfarerEmulationBank", [&] { return conn.GetWayfarerEmulationBank(buffer); }},
        {"GetFlashInfo", [&] { return conn.GetFlashInfo(buffer); }},
        {"SetUSBBaud", [&] { return conn.SetUSBBaud(7); }},
        {"IdentifyHardware", [&] { return conn.IdentifyHardware(); }},
    };
    // The device gone comes last: from then on every command fails at its write.
    const std::pair<const char*, kvsim::Fault> answers[] = {
        {"answered", kvsim::Fault::none},
        {"'?'", kvsim::Fault::question},
        {"bad checksum", kvsim::Fault::bad_checksum},
        {"echo", kvsim::Fault::echo},
        {"device gone", kvsim::Fault::disconnect},
    };
    for (const auto& [answer, fault] : answers) {
        // Identified afresh each time: a failed identification would keep the later rows from the device.
        config.faults.clear();
        ASSERT_EQ(Identify(config), KV_S_OK) << answer;
        config.faults = {{0, fault, 0, -1}};
        sim.set_config(config);
        for (const auto& [name, command] : commands) {
            const std::int32_t result = command();
            const auto before = fake_clock.now();
            DeviceLockGuard probe(conn.device_lock());
            EXPECT_FALSE(probe.busy()) << name << ", " << answer << ": " << result;
            EXPECT_EQ(fake_clock.now(), before) << name << ", " << answer;
        }
    }

    // A closed port is refused before the lock, and leaves it free as well.
    conn.ClosePort();
    for (const auto& [name, command] : commands) {
        command();
        DeviceLockGuard probe(conn.device_lock());
        EXPECT_FALSE(probe.busy()) << name << ", port closed";
    }
}

} // namespace
