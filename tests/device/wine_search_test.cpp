// The Windows build's search and identification, run under Wine by wine_search.sh with
// simulated devices linked as COM ports: a silent one as COM2 and a Larkin answering only at
// 921600 bits per second as COM4. \\.\COM0 does not exist under Wine; COM1 and COM3 are absent.
#include <cstring>

#include <gtest/gtest.h>

#include "device/device_connection.h"
#include "device/frames.h"

TEST(WineSearch, FindsTheFastLarkinOnCom4AndTalksToIt)
{
    DeviceConnection c;
    char description[100] = "untouched";
    FirmwareVersion version;
    ASSERT_TRUE(c.SearchForHardware(description, sizeof description, &version));
    EXPECT_EQ(c.last_port_number, 4u);
    EXPECT_STREQ(c.port.device_path(), "\\\\.\\COM4");
    EXPECT_STREQ(description, "Larkin v10.15.O");
    EXPECT_EQ(version.firmware_major, 10);
    EXPECT_EQ(version.firmware_minor, 15);
    EXPECT_EQ(version.hardware_letter, 'O');
    const HardwareInfo* info = c.GetHardwareInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->model_id, 6u);
    EXPECT_EQ(info->protocol_generation, 1u);
    EXPECT_EQ(info->capabilities, 0x4Au); // the device reports encryption disabled
    EXPECT_EQ(info->interface_type, 1u);
    EXPECT_EQ(c.emulation_bank, 2);
    EXPECT_EQ(c.rw_bank, 5);
    EXPECT_EQ(c.link_speed_code, 0u);
    EXPECT_EQ(c.port.line_settings().baud_rate, 921600u);
    EXPECT_EQ(c.port.timeouts().read_total_constant, 600u); // left by the serial request

    std::uint8_t eeprom[7] = {};
    EXPECT_EQ(c.ReadEEPROM(eeprom, 1, 7), KV_S_OK);
    EXPECT_EQ(eeprom[0], 'X');
    EXPECT_EQ(c.port.timeouts().read_total_constant, 300u);

    // Closing asks the device back to 115200; the next search starts at COM4 and finds it there
    // at the first speed.
    c.ClosePort();
    EXPECT_EQ(c.link_speed_code, 7u);
    ASSERT_TRUE(c.SearchForHardware(description, sizeof description, &version));
    EXPECT_EQ(c.last_port_number, 4u);
    EXPECT_EQ(c.port.line_settings().baud_rate, 115200u);
    EXPECT_NE(c.GetHardwareInfo(), nullptr);
}
