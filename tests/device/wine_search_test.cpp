// The Windows build's search and identification, run under Wine by wine_search.sh with
// simulated devices linked as COM ports: a silent one as COM2, one listed in SERIALCOMM as a
// Bluetooth link as COM3, and a Larkin answering only at 921600 bits per second as COM4.
// \\.\COM0 does not exist under Wine; COM1 is absent, or the mount manager's port that cannot
// be configured. The script checks from the devices' side that COM3 was never opened.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/device_connection.h"
#include "device/frames.h"
#include "log/log.h"
#include "serial/port_list.h"
#include "tests/log/memory_text_control.h"

namespace {

std::vector<std::string> Reasons(const MemoryTextControl& log)
{
    std::vector<std::string> out;
    for (const std::string& line : SplitLogLines(log.text()))
        if (line.rfind("QBKorvane: No device found", 0) == 0 || line.rfind("QBKorvane: Skipping", 0) == 0)
            out.push_back(line);
    return out;
}

const PortAttempt* AttemptOn(const DeviceConnection& c, const std::string& port)
{
    for (const PortAttempt& a : c.last_search())
        if (a.port == port)
            return &a;
    return nullptr;
}

} // namespace

TEST(WineSearch, TheRegistryListsCom3AsABluetoothLink)
{
    const std::vector<PortInfo> ports = ListPorts();
    const PortInfo* com3 = FindPort(ports, "COM3");
    ASSERT_NE(com3, nullptr);
    EXPECT_TRUE(com3->bluetooth);
    EXPECT_EQ(com3->device_path, "\\\\.\\COM3");
}

TEST(WineSearch, FindsTheFastLarkinOnCom4AndTalksToIt)
{
    DeviceConnection c;
    MemoryTextControl log;
    LogSink sink{&log};
    c.log_sink = &sink;
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

    // COM3 was passed over unopened, and said so; COM2 opened and stayed silent.
    EXPECT_EQ(Reasons(log), std::vector<std::string>{"QBKorvane: Skipping COM3: Bluetooth serial link"});
    ASSERT_NE(AttemptOn(c, "COM2"), nullptr);
    EXPECT_EQ(AttemptOn(c, "COM2")->state, PortState::silent);
    ASSERT_NE(AttemptOn(c, "COM3"), nullptr);
    EXPECT_EQ(AttemptOn(c, "COM3")->state, PortState::bluetooth);
    EXPECT_EQ(c.last_search().back().port, "COM4");
    EXPECT_EQ(c.last_search().back().state, PortState::answered);
    EXPECT_EQ(AttemptOn(c, "COM0"), nullptr); // absent and not listed: only counted
    EXPECT_GE(c.last_search_absent_unlisted(), 1u);

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
    c.log_sink = nullptr;
}

TEST(WineSearch, NothingFoundSaysWhyAndASerialcommChangeCountsAtTheNextSearch)
{
    // COM4 listed as a second Bluetooth link while the program runs: the next search sees it.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const char value[] = "COM4";
    ASSERT_EQ(RegSetValueExA(key, "\\Device\\BthModem1", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             sizeof value),
              ERROR_SUCCESS);

    DeviceConnection c;
    MemoryTextControl log;
    LogSink sink{&log};
    c.log_sink = &sink;
    EXPECT_FALSE(c.SearchForHardware(nullptr, 0, nullptr));
    c.log_sink = nullptr;
    RegDeleteValueA(key, "\\Device\\BthModem1");
    RegCloseKey(key);

    EXPECT_EQ(Reasons(log), (std::vector<std::string>{"QBKorvane: Skipping COM3: Bluetooth serial link",
                                                      "QBKorvane: Skipping COM4: Bluetooth serial link",
                                                      "QBKorvane: No device found: no answer on COM2"}));
    ASSERT_NE(AttemptOn(c, "COM4"), nullptr);
    EXPECT_EQ(AttemptOn(c, "COM4")->state, PortState::bluetooth);
}

TEST(WineSearch, ProbePortSaysAnAbsentPortIsAbsent)
{
    DeviceConnection c;
    EXPECT_EQ(c.ProbePort("\\\\.\\COM9", nullptr, 0, nullptr), PortProbe::not_opened);
    ASSERT_EQ(c.last_search().size(), 1u);
    EXPECT_EQ(c.last_search()[0].port, "COM9");
    EXPECT_EQ(c.last_search()[0].state, PortState::absent);
    EXPECT_EQ(c.last_search()[0].system_error, ERROR_FILE_NOT_FOUND);
}
