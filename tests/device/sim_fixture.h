// A connection talking to a simulated device linked as COM3 in a private COM folder.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/device_connection.h"
#include "serial/serial_backend.h"
#include "test_support.h"
#include "tools/kvsim/sim_device.h"

namespace kvtest {

inline const Bytes kVV{0x56, 0x56};
inline const Bytes kInfoH{0x48, 0x52, 0x07, 0x00, 0x01, 0xA2};
inline const Bytes kInfoE{0x45, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x4D};
inline const Bytes kBankActive{0x42, 0x45, 0x45, 0xCC};
inline const Bytes kBankRw{0x42, 0x52, 0x52, 0xE6};
inline const Bytes kWayfarerBank{0x48, 0x52, 0x01, 0x01, 0x01, 0x9D};
inline const Bytes kWayfarerMode{0x48, 0x52, 0x01, 0x01, 0x00, 0x9C};
inline const Bytes kFlash{0x44, 0x4F, 0x4C, 0x49, 0x28};
inline const Bytes kSerial{0x4E, 0x53, 0xA1};
inline const Bytes kSpeedFast{0x53, 0x00, 0x53};
inline const Bytes kSpeedDefault{0x53, 0x07, 0x5A};

inline kvsim::DeviceConfig Model(std::uint8_t letter, std::uint8_t major, std::uint8_t minor)
{
    kvsim::DeviceConfig c;
    c.hardware_letter = letter;
    c.firmware_major = major;
    c.firmware_minor = minor;
    c.eeprom[1] = 'X'; // device id
    c.eeprom[4] = 'U'; // interface letter
    return c;
}

class SimTest : public ::testing::Test {
protected:
    // The fixed pauses (after opening, after a speed change) pass on a fake clock; the lock's
    // waits need real time where another thread holds it.
    explicit SimTest(bool real_time = false)
        : conn(make_serial_backend(dir.path()),
               real_time ? static_cast<WaitClock&>(SystemClock::instance()) : fake_clock)
    {
    }

    // Starts the device with the configuration and opens the connection on it.
    void Open(const kvsim::DeviceConfig& config)
    {
        sim.set_config(config);
        ASSERT_TRUE(sim.start());
        ASSERT_TRUE(sim.link_as(dir.link(3)));
        ASSERT_EQ(conn.OpenPort(ComPath(3).c_str()), KV_S_OK);
        conn.log_sink = &log.sink;
    }

    // Version request and identification against a device in the given configuration.
    std::int32_t Identify(const kvsim::DeviceConfig& config)
    {
        sim.set_config(config);
        sim.clear_frames();
        log.clear();
        const std::int32_t version = conn.GetFirmwareVersion(nullptr);
        EXPECT_EQ(version, KV_S_OK);
        return conn.IdentifyHardware();
    }

    std::vector<Bytes> Requests() const
    {
        std::vector<Bytes> out;
        for (const kvsim::Frame& f : sim.frames())
            out.push_back(f.bytes);
        return out;
    }

    void Reset()
    {
        sim.clear_frames();
        log.clear();
    }

    bool LogHas(const std::string& line) const
    {
        for (const std::string& l : log.lines())
            if (l == line)
                return true;
        return false;
    }

    FakeClock fake_clock;
    ComDir dir;
    MemoryLog log;
    kvsim::SimDevice sim;
    DeviceConnection conn;
};

} // namespace kvtest
