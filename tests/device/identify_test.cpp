// Identification against the simulated device: every model row with the exact requests it
// causes, the Larkin and Cinder special cases, encryption, and failures part-way through.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "device/frames.h"
#include "sim_fixture.h"

using namespace kvtest;

namespace {

struct IdentifyCase {
    std::uint8_t letter, major, minor;
    std::uint8_t device_id, interface_letter, serial0, mode;
    std::int32_t result;
    std::uint32_t model_id;
    const char* description;
    std::uint32_t generation, capabilities, interface_type;
    std::uint32_t memory_size, bank_size, bank_count;
    std::vector<Bytes> requests;
};

const std::vector<IdentifyCase>& Cases()
{
    static const std::vector<IdentifyCase> cases = {
        {'1', 1, 34, 'X', 'U', 0, 0, KV_S_OK, 1, "Vellum I v1.34.1", 2, 0x22, 0, 0x8000, 0x8000, 1, {kVV}},
        {'2', 1, 33, 'X', 'U', 0, 0, KV_S_OK, 2, "Vellum II v1.33.2", 2, 0x02, 0, 0x10000, 0x10000, 1, {kVV}},
        {'T',
         3,
         1,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         3,
         "Ferrule Pro v3.1.T",
         3,
         0x102,
         0,
         0x10000,
         0x10000,
         1,
         {kVV}},
        {'A',
         2,
         12,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         4,
         "Korvane v2.12.A",
         1,
         0x153,
         1,
         0x10000,
         0x10000,
         1,
         {kVV, kInfoH}},
        {'F', 1, 0, 'X', 'B', 0, 0, KV_S_OK, 5, "Pike & Wren v1.0.F", 1, 0x01, 2, 0, 0, 0, {kVV, kInfoH}},
        // The first EEPROM read of a Larkin runs before any generation is known: the 'E' form.
        {'O',
         10,
         15,
         'X',
         'U',
         'A',
         0,
         KV_S_OK,
         6,
         "Larkin v10.15.O",
         1,
         0x4E,
         1,
         0x80000,
         0x10000,
         9,
         {kVV, kInfoE, kInfoH, kBankActive, kBankRw, kSerial}},
        {'O',
         10,
         15,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         6,
         "Larkin v10.15.O",
         1,
         0x4A,
         1,
         0x80000,
         0x10000,
         9,
         {kVV, kInfoE, kInfoH, kBankActive, kBankRw, kSerial}},
        {'O',
         10,
         4,
         'X',
         'S',
         0,
         0,
         KV_S_OK,
         6,
         "Larkin v10.4.O",
         1,
         0x02,
         3,
         0x80000,
         0x10000,
         9,
         {kVV, kInfoE, kInfoH}},
        {'O',
         10,
         4,
         'P',
         'S',
         'A',
         0,
         KV_S_OK,
         7,
         "Larkin II v10.4.O",
         1,
         0x6E,
         3,
         0x80000,
         0x10000,
         9,
         {kVV, kInfoE, kInfoH, kBankActive, kBankRw, kSerial}},
        {'P',
         1,
         0,
         'X',
         'U',
         'A',
         0,
         KV_S_OK,
         7,
         "Larkin II v1.0.P",
         1,
         0x6E,
         1,
         0x80000,
         0x10000,
         9,
         {kVV, kInfoH, kBankActive, kBankRw, kSerial}},
        {'R',
         1,
         0,
         'X',
         'U',
         'n',
         0,
         KV_S_OK,
         8,
         "Skyway v1.0.R",
         1,
         0x62,
         1,
         0x100000,
         0x100000,
         1,
         {kVV, kInfoH, kSerial}},
        {'L',
         1,
         0,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         9,
         "Meridian v1.0.L",
         1,
         0x280,
         1,
         0,
         0,
         0,
         {kVV, kInfoH, kFlash}},
        {'D',
         49,
         0,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         10,
         "Cinder v49.0.D",
         1,
         0xCA,
         1,
         0x80000,
         0x8000,
         17,
         {kVV, kInfoH, kBankActive, kBankRw, kFlash}},
        {'D',
         50,
         0,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         11,
         "Cinder II v50.0.D",
         1,
         0xC2,
         1,
         0x8000,
         0x8000,
         1,
         {kVV, kInfoH}},
        {'X', 1, 2, 'X', 'U', 0, 0, KV_S_OK, 12, "J7 v1.2.X", 1, 0x401, 1, 0, 0, 0, {kVV, kInfoH}},
        {'X', 1, 3, 'X', 'U', 0, 0, KV_S_OK, 12, "J7 v1.3.X", 1, 0x801, 1, 0, 0, 0, {kVV, kInfoH}},
        {'Q',
         1,
         0,
         'X',
         'U',
         0,
         3,
         KV_S_OK,
         13,
         "Wayfarer v1.0.Q",
         1,
         0x2B,
         1,
         0,
         0x20000,
         4,
         {kVV, kInfoH, kWayfarerBank, kWayfarerMode}},
        {'J', 1, 0, 'X', 'U', 0, 0, KV_S_OK, 14, "Pinecrest v1.0.J", 1, 0x01, 1, 0, 0, 0, {kVV, kInfoH}},
        // The bank query refuses the Halcyon without an exchange.
        {'Z',
         1,
         0,
         'X',
         'U',
         0,
         0,
         KV_E_REQUEST_NOT_SUPPORTED,
         15,
         "Halcyon Programmer v1.0.Z",
         1,
         0x09,
         1,
         0,
         0,
         0,
         {kVV, kInfoH}},
        {'N',
         1,
         0,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         16,
         "TOLV v1.0.N",
         1,
         0x8A,
         1,
         0x20000,
         0x10000,
         3,
         {kVV, kInfoH, kBankActive, kBankRw, kFlash}},
        {'n',
         1,
         0,
         'X',
         'U',
         0,
         0,
         KV_S_OK,
         17,
         "TOLV2 v1.0.n",
         1,
         0x8A,
         1,
         0x20000,
         0x10000,
         3,
         {kVV, kInfoH, kBankActive, kBankRw, kFlash}},
        {'d', 1, 2, 'X', 'U', 0, 0, KV_S_OK, 0, " v1.2.d", 0, 0, 0, 0, 0, 0, {kVV}},
        {'B', 10, 15, 'X', 'U', 0, 0, KV_E_UNKNOWN_HARDWARE, 0, "", 0, 0, 0, 0, 0, 0, {kVV}},
        {'7', 1, 0, 'X', 'U', 0, 0, KV_E_UNKNOWN_HARDWARE, 0, "", 0, 0, 0, 0, 0, 0, {kVV}},
    };
    return cases;
}

} // namespace

class Identification : public SimTest {};

TEST_F(Identification, EveryModelRowWithItsRequests)
{
    Open(Model('A', 2, 12));
    for (const IdentifyCase& c : Cases()) {
        SCOPED_TRACE(std::string("letter ") + static_cast<char>(c.letter) + " " + std::to_string(c.major) +
                     "." + std::to_string(c.minor));
        kvsim::DeviceConfig config = Model(c.letter, c.major, c.minor);
        config.eeprom[1] = c.device_id;
        config.eeprom[4] = c.interface_letter;
        config.eeprom[0x100] = c.mode;
        config.eeprom[0x101] = 2;
        config.serial[0] = c.serial0;
        config.active_bank = 5;
        config.rw_bank = 6;
        conn.emulation_bank = 0xEE;
        conn.rw_bank = 0xEE;

        EXPECT_EQ(Identify(config), c.result);
        const HardwareInfo& info = conn.hardware_info;
        EXPECT_EQ(info.model_id, c.model_id);
        EXPECT_STREQ(info.description, c.description);
        EXPECT_EQ(info.protocol_generation, c.generation);
        EXPECT_EQ(info.capabilities, c.capabilities);
        EXPECT_EQ(info.interface_type, c.interface_type);
        EXPECT_EQ(info.memory_size, c.memory_size);
        EXPECT_EQ(info.bank_size, c.bank_size);
        EXPECT_EQ(info.bank_count, c.bank_count);
        EXPECT_EQ(Requests(), c.requests);
        EXPECT_EQ(conn.GetHardwareInfo() != nullptr, c.capabilities != 0);

        if (c.capabilities & kCapBanked && c.result == KV_S_OK) {
            EXPECT_EQ(conn.emulation_bank, c.model_id == 13 ? 2 : 5);
            const bool rw = c.model_id == 6 || c.model_id == 7 || c.model_id == 10 || c.model_id >= 16;
            EXPECT_EQ(conn.rw_bank, rw ? 6 : 0xEE);
        }
        if (c.result == KV_E_UNKNOWN_HARDWARE) {
            EXPECT_EQ(log.lines(), std::vector<std::string>(
                                       {"QBKorvane: Firmware Version string requested",
                                        "QBKorvane: Could not determine hardware type from version ID."}));
        }
    }
}

TEST_F(Identification, LarkinWithoutEepromIsANamelessLarkin)
{
    Open(Model('O', 10, 15));
    kvsim::DeviceConfig config = Model('O', 10, 15);
    config.faults = {{frames::kEepromCommand, kvsim::Fault::bad_checksum, 0, -1},
                     {frames::kEepromGen1First, kvsim::Fault::bad_checksum, 0, -1}};
    EXPECT_EQ(Identify(config), KV_S_OK);
    const HardwareInfo& info = conn.hardware_info;
    EXPECT_EQ(info.model_id, 6u);
    EXPECT_EQ(info.capabilities, 0x0Au);
    EXPECT_STREQ(info.description, " v10.15.O");
    EXPECT_EQ(info.protocol_generation, 1u);
    EXPECT_EQ(info.interface_type, 0u);
    EXPECT_EQ(info.memory_size, 0x80000u);
    EXPECT_EQ(info.bank_size, 0x10000u);
    EXPECT_EQ(info.bank_count, 9u);
    EXPECT_EQ(Requests(), (std::vector<Bytes>{kVV, kInfoE, kInfoH, kBankActive, kBankRw}));
    EXPECT_FALSE(conn.last_eeprom_info_valid);
}

TEST_F(Identification, EncryptionFollowsTheSerial)
{
    Open(Model('P', 1, 0));
    kvsim::DeviceConfig config = Model('P', 1, 0);

    config.serial[0] = 'A';
    EXPECT_EQ(Identify(config), KV_S_OK);
    EXPECT_EQ(conn.hardware_info.capabilities, 0x6Eu);
    EXPECT_TRUE(LogHas("Encryption Enabled"));
    EXPECT_TRUE(LogHas("SkyWay: Serial requested"));
    EXPECT_EQ(conn.port.timeouts().read_total_constant, 600u); // the serial request leaves it

    config.serial[0] = 'n';
    EXPECT_EQ(Identify(config), KV_S_OK);
    EXPECT_EQ(conn.hardware_info.capabilities, 0x6Au);
    EXPECT_TRUE(LogHas("Encryption possible, but disabled"));

    config.serial[0] = 0;
    EXPECT_EQ(Identify(config), KV_S_OK);
    EXPECT_EQ(conn.hardware_info.capabilities, 0x6Au);

    // A serial that never completes counts as disabled, and identification still succeeds.
    config.serial[0] = 'A';
    config.faults = {{frames::kSerialRequest[0], kvsim::Fault::short_reply, 0, -1}};
    EXPECT_EQ(Identify(config), KV_S_OK);
    EXPECT_EQ(conn.hardware_info.capabilities, 0x6Au);
    EXPECT_TRUE(LogHas("Serial request timed out"));
    EXPECT_TRUE(LogHas("Encryption possible, but disabled"));
}

TEST_F(Identification, FailedBankQueryEndsIdentificationIdentified)
{
    Open(Model('O', 10, 15));
    kvsim::DeviceConfig config = Model('O', 10, 15);
    config.serial[0] = 0;
    config.faults = {{frames::kBankCommand, kvsim::Fault::question, 0, -1}};
    EXPECT_EQ(Identify(config), KV_E_INVALID_RESPONSE);
    EXPECT_EQ(conn.hardware_info.capabilities, 0x4Eu); // the serial request never ran
    EXPECT_NE(conn.GetHardwareInfo(), nullptr);
    EXPECT_EQ(Requests(), (std::vector<Bytes>{kVV, kInfoE, kInfoH, kBankActive}));
    EXPECT_TRUE(LogHas("QBKorvane: Get Active Emulation Bank Failed!"));
}

TEST_F(Identification, UnknownInterfaceLetterIsLogged)
{
    Open(Model('A', 2, 12));
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.eeprom[4] = 'Q';
    EXPECT_EQ(Identify(config), KV_S_OK);
    EXPECT_EQ(conn.hardware_info.interface_type, 0u);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "QBKorvane: Firmware Version string requested",
                               "QBKorvane: EEPROM Information requested",
                               "QBKorvane: ReadEEPROM requested, 7 bytes from address 1",
                               "QuenbyWare: Could not get communication interface type.",
                           }));
}

TEST_F(Identification, CinderIIDeviceIdFixup)
{
    Open(Model('D', 2, 0));
    kvsim::DeviceConfig config = Model('D', 2, 0);
    config.eeprom[1] = 'D';
    sim.set_config(config);
    ASSERT_EQ(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    log.clear();
    EEPROMInfo info;
    EXPECT_EQ(conn.GetEEPROMInfo(&info), KV_S_OK);
    EXPECT_EQ(info.device_id, 'd');
    EXPECT_EQ(info.interface_letter, 'U');
    EXPECT_TRUE(LogHas("Cinder2 device ID fixup applied"));
    ASSERT_TRUE(conn.last_eeprom_info_valid);
    EXPECT_EQ(conn.last_eeprom_info.device_id, 'd');

    config.firmware_major = 1;
    sim.set_config(config);
    ASSERT_EQ(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    log.clear();
    EXPECT_EQ(conn.GetEEPROMInfo(&info), KV_S_OK);
    EXPECT_EQ(info.device_id, 'D');
    EXPECT_FALSE(LogHas("Cinder2 device ID fixup applied"));
    EXPECT_EQ(conn.last_eeprom_info.device_id, 'D');

    // Another letter with the same id is left alone.
    config = Model('A', 2, 12);
    config.eeprom[1] = 'D';
    sim.set_config(config);
    ASSERT_EQ(conn.GetFirmwareVersion(nullptr), KV_S_OK);
    EXPECT_EQ(conn.GetEEPROMInfo(&info), KV_S_OK);
    EXPECT_EQ(info.device_id, 'D');

    EXPECT_EQ(conn.GetEEPROMInfo(nullptr), KV_E_INVALID_FUNC_PARAM);

    conn.ClosePort();
    EXPECT_FALSE(conn.last_eeprom_info_valid);
}

TEST_F(Identification, FailedEepromReadKeepsTheRememberedInfo)
{
    Open(Model('A', 2, 12));
    ASSERT_EQ(Identify(Model('A', 2, 12)), KV_S_OK);
    ASSERT_TRUE(conn.last_eeprom_info_valid);
    kvsim::DeviceConfig config = Model('A', 2, 12);
    config.eeprom[1] = 'Y';
    config.faults = {{frames::kEepromGen1First, kvsim::Fault::bad_checksum, 0, -1}};
    sim.set_config(config);
    EEPROMInfo info;
    EXPECT_EQ(conn.GetEEPROMInfo(&info), KV_E_EXTERNAL_CS_INVALID);
    EXPECT_EQ(conn.last_eeprom_info.device_id, 'X');
}
