// Single commands against the simulated device: version request, link speed, EEPROM read,
// bank, mode, flash-information and serial queries. Exact requests, replies, time-outs, logs.
#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "device/checksum.h"
#include "device/frames.h"
#include "sim_fixture.h"

using namespace kvtest;
using std::chrono::steady_clock;

class Commands : public SimTest {};

// ---- Version request ----------------------------------------------------------------------

TEST_F(Commands, VersionReplyIsCheckedAndKept)
{
    Open(Model('A', 2, 12));
    const struct {
        std::uint8_t major, minor, letter;
        std::int32_t result;
    } cases[] = {
        {0x56, 0x56, 0x56, KV_E_INVALID_RESPONSE},
        {0x00, 0x00, 0x41, KV_E_INVALID_RESPONSE},
        {0x01, 0x02, 0x2A, KV_E_INVALID_RESPONSE},
        {0x00, 0x05, 0x41, KV_S_OK},
        {0x0A, 0x0F, 0x4F, KV_S_OK},
    };
    for (const auto& c : cases) {
        sim.set_config(Model(c.letter, c.major, c.minor));
        sim.clear_frames();
        FirmwareVersion version{0xEE, 0xEE, 0xEE};
        EXPECT_EQ(conn.GetFirmwareVersion(&version), c.result) << int(c.major) << "." << int(c.minor);
        EXPECT_EQ(conn.firmware_major, c.major);
        EXPECT_EQ(conn.firmware_minor, c.minor);
        EXPECT_EQ(conn.hardware_letter, c.letter);
        if (c.result == KV_S_OK) {
            EXPECT_EQ(version.firmware_major, c.major);
            EXPECT_EQ(version.firmware_minor, c.minor);
            EXPECT_EQ(version.hardware_letter, c.letter);
        } else {
            EXPECT_EQ(version.firmware_major, 0xEE); // a rejected reply is not handed out
        }
        EXPECT_EQ(Requests(), std::vector<Bytes>{kVV});
        EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
    }
}

TEST_F(Commands, VersionRequestTimesOutAfterItsShortTimeout)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.faults = {{frames::kVersionByte, kvsim::Fault::silence, 0, -1}};
    Open(config);
    conn.firmware_major = 9;
    const auto start = steady_clock::now();
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_E_COMM_READ_FAILURE);
    const double ms = MsSince(start);
    EXPECT_GE(ms, 100.0); // 110 ms + 3 ms per byte
    EXPECT_LT(ms, 290.0); // well below the usual 300 ms
    EXPECT_EQ(conn.firmware_major, 0);
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"QBKorvane: Firmware Version string requested"});
}

TEST_F(Commands, PartialVersionReplyStaysInTheConnection)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.faults = {{frames::kVersionByte, kvsim::Fault::short_reply, 2, -1}};
    Open(config);
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_E_COMM_READ_FAILURE);
    EXPECT_EQ(conn.firmware_major, 2);
    EXPECT_EQ(conn.firmware_minor, 12);
    EXPECT_EQ(conn.hardware_letter, 0);
}

TEST_F(Commands, ClosedPortCommandsSendNothing)
{
    Open(Model('L', 1, 0));
    ASSERT_EQ(Identify(Model('L', 1, 0)), KV_S_OK);
    conn.port.close();
    Reset();
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(conn.ReadEEPROM(buffer, 1, 7), KV_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(conn.GetFlashInfo(buffer), KV_E_PORT_NOT_INITIALIZED);
    EXPECT_TRUE(log.text().empty());
    EXPECT_EQ(conn.RequestSerial(buffer), KV_E_COMM_WRITE_FAILURE);
    EXPECT_TRUE(Requests().empty());
}

// ---- Link speed ---------------------------------------------------------------------------

TEST_F(Commands, SpeedChangeWithoutIdentificationOnlyMovesThePort)
{
    Open(Model('A', 2, 12));
    EXPECT_EQ(conn.SetUSBBaud(0), KV_S_OK);
    EXPECT_EQ(conn.link_speed_code, 0u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 921600u);
    log.clear();

    const auto start = fake_clock.now();
    EXPECT_EQ(conn.SetUSBBaud(7), KV_S_OK);
    EXPECT_EQ(fake_clock.now() - start, std::chrono::milliseconds(10)); // the settling pause after a change
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 115200u);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"QBKorvane: SetUSBBaud to 115200, Force = TRUE SUCCEEDED"});
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
}

TEST_F(Commands, RefusedSpeedCodes)
{
    Open(Model('A', 2, 12));
    for (std::uint32_t code : {2u, 4u, 5u, 6u, 8u, 0xFFFFFFFFu}) {
        log.clear();
        EXPECT_EQ(conn.SetUSBBaud(code), KV_E_INVALID_FUNC_PARAM) << code;
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{
                      "QBKorvane: SetUSBBaud to 115200, Force = TRUE FAILED with KV_E_INVALID_FUNC_PARAM"});
        EXPECT_EQ(conn.link_speed_code, 7u);
    }
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK);
    Reset();
    EXPECT_EQ(conn.SetUSBBaud(2), KV_E_INVALID_FUNC_PARAM);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(Commands, IdentifiedDeviceIsAskedToSwitch)
{
    Open(Model('A', 2, 12));
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK);
    Reset();
    EXPECT_EQ(conn.SetUSBBaud(0), KV_S_OK);
    ASSERT_EQ(sim.frames().size(), 1u);
    EXPECT_EQ(sim.frames()[0].bytes, kSpeedFast);
    EXPECT_EQ(sim.frames()[0].baud, 115200u);
    EXPECT_EQ(conn.link_speed_code, 0u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 921600u);
    EXPECT_EQ(sim.current_speed(), 921600u);
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"QBKorvane: SetUSBBaud to 921600, Force = TRUE SUCCEEDED"});

    // Both ends now talk at the new speed.
    Reset();
    EXPECT_EQ(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    ASSERT_EQ(sim.frames().size(), 1u);
    EXPECT_EQ(sim.frames()[0].baud, 921600u);

    Reset();
    EXPECT_EQ(conn.SetUSBBaud(7), KV_S_OK);
    ASSERT_EQ(sim.frames().size(), 1u);
    EXPECT_EQ(sim.frames()[0].bytes, kSpeedDefault);
    EXPECT_EQ(sim.frames()[0].baud, 921600u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 115200u);
    EXPECT_EQ(sim.current_speed(), 115200u);
}

TEST_F(Commands, DeviceThatRefusesTheSwitchKeepsBothEnds)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.accepts_speed_change = false;
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    Reset();
    EXPECT_EQ(conn.SetUSBBaud(0), KV_S_OK);
    EXPECT_EQ(Requests(), std::vector<Bytes>{kSpeedFast});
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 115200u);
    EXPECT_EQ(sim.current_speed(), 115200u);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"QBKorvane: SetUSBBaud to 921600, Force = TRUE SUCCEEDED"});
}

TEST_F(Commands, UnansweredSwitchFailsAfterItsShortTimeout)
{
    Open(Model('A', 2, 12));
    kvsim::DeviceConfig config = Model('A', 2, 12);
    ASSERT_EQ(Identify(config), KV_S_OK);
    config.faults = {{frames::kSpeedCommand, kvsim::Fault::silence, 0, -1}};
    sim.set_config(config);
    Reset();
    const auto start = steady_clock::now();
    EXPECT_EQ(conn.SetUSBBaud(0), KV_E_COMM_READ_FAILURE);
    const double ms = MsSince(start);
    EXPECT_GE(ms, 100.0);
    EXPECT_LT(ms, 290.0);
    EXPECT_EQ(conn.link_speed_code, 7u);
    EXPECT_EQ(conn.port.line_settings().baud_rate, 115200u);
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "QBKorvane: SetUSBBaud to 921600, Force = TRUE FAILED with KV_E_COMM_READ_FAILURE"});
}

// ---- EEPROM read ----------------------------------------------------------------------------

TEST_F(Commands, EepromReadGeneration1)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    for (int i = 0; i < 0x200; ++i)
        config.eeprom[i] = static_cast<std::uint8_t>(i * 7 + 3);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);

    Reset();
    std::uint8_t one = 0;
    EXPECT_EQ(conn.ReadEEPROM(&one, 0x101, 1), KV_S_OK);
    EXPECT_EQ(Requests(), std::vector<Bytes>{kWayfarerBank});
    EXPECT_EQ(one, config.eeprom[0x101]);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"QBKorvane: ReadEEPROM requested, 1 bytes from address 101"});

    Reset();
    std::uint8_t all[256] = {};
    EXPECT_EQ(conn.ReadEEPROM(all, 0x0000, 256), KV_S_OK);
    EXPECT_EQ(Requests(), std::vector<Bytes>({{0x48, 0x52, 0x00, 0x00, 0x00, 0x9A}}));
    EXPECT_EQ(std::memcmp(all, config.eeprom.data(), 256), 0);
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
}

TEST_F(Commands, EepromReadOtherGenerations)
{
    kvsim::DeviceConfig config = Model('1', 1, 34);
    for (int i = 0; i < 8; ++i)
        config.eeprom[i] = static_cast<std::uint8_t>(0x10 + i);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    Reset();
    std::uint8_t info[7] = {};
    EXPECT_EQ(conn.ReadEEPROM(info, 1, 7), KV_S_OK);
    EXPECT_EQ(Requests(), std::vector<Bytes>{kInfoE});
    EXPECT_EQ(std::memcmp(info, config.eeprom.data() + 1, 7), 0);
}

TEST_F(Commands, EepromChecksumMismatchKeepsTheData)
{
    kvsim::DeviceConfig config = Model('A', 2, 12);
    const std::uint8_t data[7] = {0x00, 0x20, 0x30, 0x0B, 0x20, 0x20, 0x10}; // sum 0xAB
    std::memcpy(config.eeprom.data() + 1, data, 7);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    config.faults = {{frames::kEepromGen1First, kvsim::Fault::bad_checksum, 0, -1}};
    sim.set_config(config);
    Reset();
    std::uint8_t got[7] = {};
    EXPECT_EQ(conn.ReadEEPROM(got, 1, 7), KV_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(std::memcmp(got, data, 7), 0);
    const std::string text = log.text();
    const std::string head =
        "QBKorvane: ReadEEPROM requested, 7 bytes from address 1\r\n"
        "QBKorvane: ReadEEPROM: Invalid external data checksum\r\n\tCS of recvd data: AB\r\n"
        "\tCS from device: ";
    ASSERT_EQ(text.substr(0, head.size()), head);
    const std::string received = text.substr(head.size());
    EXPECT_TRUE(received == "ac" || received == "aa") << received;
}

TEST_F(Commands, EepromShortAndRefusedReplies)
{
    Open(Model('A', 2, 12));
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK);
    kvsim::DeviceConfig config = Model('A', 2, 12);
    std::uint8_t got[7] = {};

    config.faults = {{frames::kEepromGen1First, kvsim::Fault::question, 0, -1}};
    sim.set_config(config);
    EXPECT_EQ(conn.ReadEEPROM(got, 1, 7), KV_E_UNKNOWN_COMMAND);

    config.faults = {{frames::kEepromGen1First, kvsim::Fault::short_reply, 3, -1}};
    sim.set_config(config);
    EXPECT_EQ(conn.ReadEEPROM(got, 1, 7), KV_E_COMM_READ_FAILURE);

    // All data but no checksum byte.
    config.faults = {{frames::kEepromGen1First, kvsim::Fault::short_reply, 7, -1}};
    sim.set_config(config);
    EXPECT_EQ(conn.ReadEEPROM(got, 1, 7), KV_E_COMM_READ_FAILURE);
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);

    Reset();
    EXPECT_EQ(conn.ReadEEPROM(nullptr, 1, 7), KV_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(conn.ReadEEPROM(got, 1, 0), KV_E_INVALID_FUNC_PARAM);
    std::uint8_t big[300];
    EXPECT_EQ(conn.ReadEEPROM(big, 0, 257), KV_E_INVALID_FUNC_PARAM);
    EXPECT_TRUE(Requests().empty());
}

// ---- Bank, mode and flash information ---------------------------------------------------------

TEST_F(Commands, BankQueries)
{
    kvsim::DeviceConfig config = Model('O', 10, 15);
    config.active_bank = 0;
    config.rw_bank = 200;
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);

    Reset();
    conn.emulation_bank = 9;
    std::uint8_t out = 0xEE;
    EXPECT_EQ(conn.GetEmulationBank(&out, false), KV_S_OK);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(conn.emulation_bank, 0); // bank 0 is a bank
    EXPECT_EQ(conn.GetEmulationBank(nullptr, true), KV_S_OK);
    EXPECT_EQ(conn.rw_bank, 200);
    EXPECT_EQ(Requests(), (std::vector<Bytes>{kBankActive, kBankRw}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"QBKorvane: Get Active Emulation Bank Succeeded: Bank 0",
                                                     "QBKorvane: Get R/W Bank Succeeded: Bank 200"}));

    config.faults = {{frames::kBankCommand, kvsim::Fault::question, 0, -1}};
    sim.set_config(config);
    Reset();
    out = 0xEE;
    EXPECT_EQ(conn.GetEmulationBank(&out, true), KV_E_INVALID_RESPONSE);
    EXPECT_EQ(conn.GetEmulationBank(&out, false), KV_E_INVALID_RESPONSE);
    EXPECT_EQ(out, 0xEE);
    EXPECT_EQ(conn.rw_bank, 200);
    EXPECT_EQ(conn.emulation_bank, 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"QBKorvane: Get R/W Bank Failed!",
                                                     "QBKorvane: Get Active Emulation Bank Failed!"}));
}

TEST_F(Commands, BankQueryRefusedWithoutExchange)
{
    Open(Model('A', 2, 12));
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK); // not banked
    Reset();
    EXPECT_EQ(conn.GetEmulationBank(nullptr, false), KV_E_REQUEST_NOT_SUPPORTED);
    conn.hardware_info.model_id = 15;
    conn.hardware_info.capabilities = 0x09;
    EXPECT_EQ(conn.GetEmulationBank(nullptr, false), KV_E_REQUEST_NOT_SUPPORTED);
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(log.text().empty());
}

TEST_F(Commands, WayfarerModeSetsTheGeometry)
{
    kvsim::DeviceConfig config = Model('Q', 1, 0);
    config.eeprom[0x100] = 1;
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    const struct {
        std::uint8_t mode;
        std::uint32_t size, count;
    } cases[] = {{1, 0x10000, 8}, {2, 0x10000, 8}, {3, 0x20000, 4}, {4, 0x40000, 2},
                 {5, 0x10000, 8}, {0, 0, 1},       {6, 0, 1},       {0xFF, 0, 1}};
    for (const auto& c : cases) {
        config.eeprom[0x100] = c.mode;
        sim.set_config(config);
        Reset();
        EXPECT_EQ(conn.GetWayfarerMode(), KV_S_OK) << int(c.mode);
        EXPECT_EQ(conn.wayfarer_mode, c.mode);
        EXPECT_EQ(conn.hardware_info.bank_size, c.size) << int(c.mode);
        EXPECT_EQ(conn.hardware_info.bank_count, c.count) << int(c.mode);
        EXPECT_EQ(Requests(), std::vector<Bytes>{kWayfarerMode});
        EXPECT_TRUE(LogHas("QBKorvane: Wayfarer mode retrieved: " + std::to_string(c.mode)));
    }

    config.faults = {{frames::kEepromGen1First, kvsim::Fault::bad_checksum, 0, -1}};
    sim.set_config(config);
    Reset();
    conn.wayfarer_mode = 4;
    EXPECT_EQ(conn.GetWayfarerMode(), KV_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(conn.wayfarer_mode, 4u);
    EXPECT_TRUE(LogHas("QBKorvane: Wayfarer mode retrieval FAILED"));

    std::uint8_t bank = 0x55;
    conn.emulation_bank = 0x55;
    EXPECT_EQ(conn.GetWayfarerEmulationBank(&bank), KV_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(bank, 0x55);
    EXPECT_EQ(conn.emulation_bank, 0x55);
}

TEST_F(Commands, WayfarerModeRefusedForOtherModels)
{
    Open(Model('A', 2, 12));
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK);
    Reset();
    EXPECT_EQ(conn.GetWayfarerMode(), KV_E_REQUEST_NOT_SUPPORTED);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"QBKorvane: Wayfarer mode retrieval FAILED"});
}

TEST_F(Commands, FlashInformation)
{
    kvsim::DeviceConfig config = Model('L', 1, 0);
    for (int i = 0; i < 16; ++i)
        config.flash_info[i] = static_cast<std::uint8_t>(0xF0 + i); // sum 0x78
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    EXPECT_EQ(std::memcmp(conn.flash_info, config.flash_info.data(), 16), 0);

    config.faults = {{frames::kFlashInfoRequest[0], kvsim::Fault::bad_checksum, 0, -1}};
    sim.set_config(config);
    Reset();
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(conn.GetFlashInfo(buffer), KV_S_OK); // a mismatch is only reported
    EXPECT_EQ(std::memcmp(buffer, config.flash_info.data(), 16), 0);
    EXPECT_EQ(Requests(), std::vector<Bytes>{kFlash});
    const std::string text = log.text();
    const std::string head =
        "QBKorvane: GetFlashInfo requested\r\n"
        "QBKorvane: GetFlashInfo: Invalid external data checksum\r\n\tCS of recvd data: 78\r\n"
        "\tCS from device: ";
    ASSERT_EQ(text.substr(0, head.size()), head);
    EXPECT_TRUE(text.substr(head.size()) == "79" || text.substr(head.size()) == "77") << text;
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 300u);
}

TEST_F(Commands, FlashInformationStoppingShort)
{
    kvsim::DeviceConfig config = Model('L', 1, 0);
    for (int i = 0; i < 16; ++i)
        config.flash_info[i] = static_cast<std::uint8_t>(i + 1);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    config.faults = {{frames::kFlashInfoRequest[0], kvsim::Fault::short_reply, 10, -1}};
    sim.set_config(config);
    std::uint8_t buffer[16] = {};
    const auto start = steady_clock::now();
    EXPECT_EQ(conn.GetFlashInfo(buffer), KV_E_COMM_READ_FAILURE);
    const double ms = MsSince(start);
    EXPECT_GE(ms, 190.0); // the 200 ms gap after the tenth byte
    EXPECT_LT(ms, 450.0);
    EXPECT_EQ(std::memcmp(buffer, config.flash_info.data(), 10), 0);
    EXPECT_EQ(buffer[10], 0);
}

TEST_F(Commands, FlashInformationRefusals)
{
    Open(Model('A', 2, 12));
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK);
    Reset();
    std::uint8_t buffer[16];
    EXPECT_EQ(conn.GetFlashInfo(nullptr), KV_E_INVALID_FUNC_PARAM);
    EXPECT_EQ(conn.GetFlashInfo(buffer), KV_E_REQUEST_NOT_SUPPORTED);
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(log.text().empty());
}

TEST_F(Commands, SerialRequest)
{
    kvsim::DeviceConfig config = Model('R', 1, 0);
    for (int i = 0; i < 9; ++i)
        config.serial[i] = static_cast<std::uint8_t>('1' + i);
    Open(config);
    ASSERT_EQ(Identify(config), KV_S_OK);
    Reset();
    std::uint8_t serial[9] = {};
    EXPECT_EQ(conn.RequestSerial(serial), KV_S_OK);
    EXPECT_EQ(Requests(), std::vector<Bytes>{kSerial});
    EXPECT_EQ(std::memcmp(serial, config.serial.data(), 9), 0);
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 600u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"SkyWay: Serial requested"});
    EXPECT_EQ(conn.RequestSerial(nullptr), KV_E_INVALID_FUNC_PARAM);

    // Nine bytes but no trailing byte.
    config.faults = {{frames::kSerialRequest[0], kvsim::Fault::short_reply, 9, -1}};
    sim.set_config(config);
    EXPECT_EQ(conn.RequestSerial(serial), KV_E_COMM_READ_FAILURE);
}
