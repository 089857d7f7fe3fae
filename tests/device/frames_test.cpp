// Wire formats and the pure pieces: request bytes, reply checks, the model table, version
// thresholds, bank geometry and port paths.
#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "device/bounded_text.h"
#include "device/checksum.h"
#include "device/device_connection.h"
#include "device/frames.h"
#include "device/model_table.h"
#include "device/result.h"
#include "test_support.h"

using kvtest::Bytes;

namespace {

Bytes Eeprom(std::uint32_t generation, std::uint16_t address, std::size_t count)
{
    std::array<std::uint8_t, frames::kMaxEepromRequestSize> out{};
    const std::size_t n = frames::BuildEepromRequest(generation, address, count, out);
    return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

template <std::size_t N>
Bytes B(const std::array<std::uint8_t, N>& a)
{
    return Bytes(a.begin(), a.end());
}

} // namespace

TEST(Checksum, AdditiveSum)
{
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(AdditiveChecksum(abc, 3), 0x26);
    EXPECT_EQ(AdditiveChecksum(abc, 0), 0);
    EXPECT_EQ(AdditiveChecksum(abc, -1), 0); // a negative count reads nothing
    EXPECT_EQ(AdditiveChecksum(nullptr, 5), 0);
    std::array<std::uint8_t, 256> ff;
    ff.fill(0xFF);
    EXPECT_EQ(AdditiveChecksum(ff.data(), 256), 0x00);
    const std::uint8_t one = 0x7F;
    EXPECT_EQ(AdditiveChecksum(&one, 1), 0x7F);
}

// The names appear in log lines and in the failure message the user sees.
TEST(ResultNames, EveryCodeAndTheDefault)
{
    const struct {
        std::int32_t code;
        const char* name;
    } rows[] = {
        {0, "KV_S_OK"},
        {-1, "KV_E_GENERAL_ERROR"},
        {-2, "KV_E_PORT_NOT_INITIALIZED"},
        {-3, "KV_E_REQUEST_NOT_SUPPORTED"},
        {-4, "KV_E_COMM_WRITE_FAILURE"},
        {-5, "KV_E_COMM_READ_FAILURE"},
        {-6, "KV_E_DEVICE_NOT_FOUND"},
        {-7, "KV_E_INVALID_RESPONSE"},
        {-8, "KV_E_UNKNOWN_COMMAND"},
        {-9, "KV_E_BAD_CHECKSUM"},
        {-10, "KV_E_ALT_WRITE_BAD_CHECKSUM"},
        {-11, "KV_E_EXTERNAL_CS_INVALID"},
        {-12, "KV_E_NVRAM_BUFFERING_FAILED"},
        {-13, "KV_E_INTERNAL_CS_INVALID"},
        {-14, "KV_E_INVALID_FIRMWARE_IMAGE"},
        {-15, "KV_E_FIRMWARE_FLASH_FAILED"},
        {-16, "KV_E_THREAD_TIMEOUT"},
        {-17, "KV_E_COMM_READ_TIMEOUT"},
        {-18, "KV_E_INVALID_FUNC_PARAM"},
        {-19, "KV_E_OPERATION_CANCELED"},
        {-20, "KV_E_PORT_BUSY"},
        {-21, "KV_E_INVALID_VERSION"},
        {-22, "KV_E_INVALID_HARDWARE_ID"},
        {-23, "KV_E_LARGE_BIN_BANK_FAILED"},
        {-24, "KV_E_INVALID_REQUEST_PARAM"},
        {-28, "KV_E_INVALID_ALIGNMENT"},
        {-25, "(ERROR NOT IN LIST)"},
        {-27, "(ERROR NOT IN LIST)"},
        {-29, "(ERROR NOT IN LIST)"},
        {1, "(ERROR NOT IN LIST)"},
        {KV_E_UNKNOWN_HARDWARE, "(ERROR NOT IN LIST)"},
    };
    for (const auto& r : rows)
        EXPECT_STREQ(result_name(r.code), r.name) << r.code;
}

TEST(Frames, SpeedRequests)
{
    EXPECT_EQ(B(frames::SpeedRequest(0)), (Bytes{0x53, 0x00, 0x53}));
    EXPECT_EQ(B(frames::SpeedRequest(7)), (Bytes{0x53, 0x07, 0x5A}));
    EXPECT_EQ(B(frames::SpeedRequest(3)), (Bytes{0x53, 0x03, 0x56}));
}

TEST(Frames, SpeedCodes)
{
    EXPECT_EQ(frames::SpeedOfCode(0), 921600u);
    EXPECT_EQ(frames::SpeedOfCode(1), 460800u);
    EXPECT_EQ(frames::SpeedOfCode(3), 230400u);
    EXPECT_EQ(frames::SpeedOfCode(7), 115200u);
    for (std::uint32_t refused : {2u, 4u, 5u, 6u, 8u, 255u, 0xFFFFFFFFu})
        EXPECT_EQ(frames::SpeedOfCode(refused), 0u) << refused;
}

TEST(Frames, EepromRequestGeneration1)
{
    EXPECT_EQ(Eeprom(1, 0x0001, 7), (Bytes{0x48, 0x52, 0x07, 0x00, 0x01, 0xA2}));
    EXPECT_EQ(Eeprom(1, 0x0101, 1), (Bytes{0x48, 0x52, 0x01, 0x01, 0x01, 0x9D}));
    EXPECT_EQ(Eeprom(1, 0x0100, 1), (Bytes{0x48, 0x52, 0x01, 0x01, 0x00, 0x9C}));
    // 256 travels as count byte 0.
    EXPECT_EQ(Eeprom(1, 0x0000, 256), (Bytes{0x48, 0x52, 0x00, 0x00, 0x00, 0x9A}));
}

TEST(Frames, EepromRequestOtherGenerations)
{
    const Bytes expected{0x45, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x4D};
    EXPECT_EQ(Eeprom(2, 0x0001, 7), expected);
    EXPECT_EQ(Eeprom(3, 0x0001, 7), expected);
    EXPECT_EQ(Eeprom(0, 0x0001, 7), expected); // not yet identified

    const Bytes big = Eeprom(2, 0x0123, 256);
    ASSERT_EQ(big.size(), 261u);
    EXPECT_EQ(big[0], 0x45);
    EXPECT_EQ(big[1], 0x00);
    EXPECT_EQ(big[2], 0x01);
    EXPECT_EQ(big[3], 0x23);
    EXPECT_EQ(big[260], static_cast<std::uint8_t>(0x45 + 0x01 + 0x23));
}

TEST(Frames, EepromRequestRefusesWhatCannotBeFramed)
{
    EXPECT_TRUE(Eeprom(1, 0, 0).empty());
    EXPECT_TRUE(Eeprom(2, 0, 257).empty());
    std::array<std::uint8_t, 11> small{};
    EXPECT_EQ(frames::BuildEepromRequest(2, 1, 7, small), 0u); // needs 12
    std::array<std::uint8_t, 5> tiny{};
    EXPECT_EQ(frames::BuildEepromRequest(1, 1, 7, tiny), 0u); // needs 6
}

TEST(Frames, BankAndFixedRequests)
{
    EXPECT_EQ(B(frames::BankRequest(frames::kBankActive)), (Bytes{0x42, 0x45, 0x45, 0xCC}));
    EXPECT_EQ(B(frames::BankRequest(frames::kBankReadWrite)), (Bytes{0x42, 0x52, 0x52, 0xE6}));
    EXPECT_EQ(B(frames::kVersionRequest), (Bytes{0x56, 0x56}));
    EXPECT_EQ(B(frames::kSerialRequest), (Bytes{0x4E, 0x53, 0xA1}));
    EXPECT_EQ(B(frames::kFlashInfoRequest), (Bytes{0x44, 0x4F, 0x4C, 0x49, 0x28}));
    EXPECT_EQ(AdditiveChecksum(reinterpret_cast<const std::uint8_t*>("DOLI"), 4), 0x28);
}

TEST(Frames, VersionReplyChecks)
{
    using R = std::array<std::uint8_t, 3>;
    EXPECT_FALSE(frames::IsValidVersionReply(R{0x56, 0x56, 0x56})); // the request came back
    EXPECT_FALSE(frames::IsValidVersionReply(R{0x56, 0x56, 0x41}));
    EXPECT_FALSE(frames::IsValidVersionReply(R{0x00, 0x00, 0x41}));
    EXPECT_FALSE(frames::IsValidVersionReply(R{0x01, 0x02, 0x2A})); // '*'
    EXPECT_FALSE(frames::IsValidVersionReply(R{0x01, 0x02, 0x00}));
    EXPECT_FALSE(frames::IsValidVersionReply(R{0x01, 0x02, 0xC4})); // not ASCII
    EXPECT_TRUE(frames::IsValidVersionReply(R{0x00, 0x05, 0x41}));
    EXPECT_TRUE(frames::IsValidVersionReply(R{0x56, 0x00, 0x41}));
    for (std::uint8_t letter : {'0', '9', 'A', 'Z', 'a', 'z'})
        EXPECT_TRUE(frames::IsValidVersionReply(R{1, 2, letter})) << letter;
}

TEST(Versions, Thresholds)
{
    EXPECT_FALSE(MeetsVersion(10, 14, 10, 15));
    EXPECT_TRUE(MeetsVersion(10, 15, 10, 15));
    EXPECT_TRUE(MeetsVersion(11, 0, 10, 15));
    EXPECT_TRUE(MeetsVersion(9, 99, 10, 15));
    EXPECT_FALSE(MeetsVersion(1, 2, 1, 3));
    EXPECT_TRUE(MeetsVersion(0, 9, 1, 34));
}

TEST(PortPath, Format)
{
    char path[50];
    EXPECT_TRUE(FormatComPortPath(path, sizeof path, 5));
    EXPECT_STREQ(path, "\\\\.\\COM5");
    EXPECT_TRUE(FormatComPortPath(path, sizeof path, 0));
    EXPECT_STREQ(path, "\\\\.\\COM0");
    EXPECT_TRUE(FormatComPortPath(path, sizeof path, 255));
    EXPECT_STREQ(path, "\\\\.\\COM255");
    EXPECT_TRUE(FormatComPortPath(path, sizeof path, 4294967295u));
    EXPECT_STREQ(path, "\\\\.\\COM4294967295");
}

TEST(PortPath, APathThatDoesNotFitIsRefusedNotCut)
{
    // "\\.\COM25" would be another port than COM255.
    char small[10];
    std::memset(small, '#', sizeof small);
    EXPECT_FALSE(FormatComPortPath(small, sizeof small, 255));
    EXPECT_STREQ(small, "");
    char exact[11];
    EXPECT_TRUE(FormatComPortPath(exact, sizeof exact, 255));
    EXPECT_STREQ(exact, "\\\\.\\COM255");
    EXPECT_FALSE(FormatComPortPath(nullptr, 10, 1));
}

TEST(BoundedText, CopiesAndAppendsCutAndTerminate)
{
    char text[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    CopyText(text, sizeof text, "Larkin II");
    EXPECT_STREQ(text, "Larki");
    CopyText(text, sizeof text, nullptr);
    EXPECT_STREQ(text, "");
    CopyText(text, 0, "never written");
    EXPECT_STREQ(text, "");

    CopyText(text, sizeof text, "TO");
    AppendText(text, sizeof text, "LV2 v1");
    EXPECT_STREQ(text, "TOLV2");
    AppendText(text, sizeof text, "more");
    EXPECT_STREQ(text, "TOLV2");

    // A buffer without a terminator counts as full: nothing is written past its end.
    char full[4] = {'a', 'b', 'c', 'd'};
    AppendText(full, sizeof full, "e");
    EXPECT_EQ(std::string(full, sizeof full), "abcd");
}

// ---- Model table ------------------------------------------------------------------------

namespace {

struct RowCase {
    std::uint8_t letter;
    std::uint8_t major, minor;
    bool larkin_ii;
    std::uint32_t model_id;
    const char* name;
    std::uint32_t generation;
    std::uint32_t capabilities;
    std::uint32_t memory_size, bank_size, bank_count;
};

const RowCase kRowCases[] = {
    {'1', 1, 33, false, 1, "Vellum I", 2, 0x02, 0x8000, 0x8000, 1},
    {'1', 1, 34, false, 1, "Vellum I", 2, 0x22, 0x8000, 0x8000, 1},
    {'1', 0, 9, false, 1, "Vellum I", 2, 0x22, 0x8000, 0x8000, 1},
    {'2', 1, 33, false, 2, "Vellum II", 2, 0x02, 0x10000, 0x10000, 1},
    {'2', 2, 0, false, 2, "Vellum II", 2, 0x22, 0x10000, 0x10000, 1},
    {'T', 1, 0, false, 3, "Ferrule Pro", 3, 0x102, 0x10000, 0x10000, 1},
    {'A', 2, 11, false, 4, "Korvane", 1, 0x113, 0x10000, 0x10000, 1},
    {'A', 2, 12, false, 4, "Korvane", 1, 0x153, 0x10000, 0x10000, 1},
    {'F', 1, 0, false, 5, "Pike & Wren", 1, 0x01, 0, 0, 0},
    {'O', 10, 4, false, 6, "Larkin", 1, 0x02, 0x80000, 0x10000, 9},
    {'O', 10, 5, false, 6, "Larkin", 1, 0x0A, 0x80000, 0x10000, 9},
    {'O', 10, 11, false, 6, "Larkin", 1, 0x0A, 0x80000, 0x10000, 9},
    {'O', 10, 12, false, 6, "Larkin", 1, 0x4A, 0x80000, 0x10000, 9},
    {'O', 10, 14, false, 6, "Larkin", 1, 0x4A, 0x80000, 0x10000, 9},
    {'O', 10, 15, false, 6, "Larkin", 1, 0x4E, 0x80000, 0x10000, 9},
    {'O', 11, 0, false, 6, "Larkin", 1, 0x4E, 0x80000, 0x10000, 9},
    {'O', 9, 99, false, 6, "Larkin", 1, 0x4E, 0x80000, 0x10000, 9},
    {'O', 10, 4, true, 7, "Larkin II", 1, 0x6E, 0x80000, 0x10000, 9},
    {'P', 1, 0, false, 7, "Larkin II", 1, 0x6E, 0x80000, 0x10000, 9},
    {'R', 1, 0, false, 8, "Skyway", 1, 0x66, 0x100000, 0x100000, 1},
    {'L', 1, 0, false, 9, "Meridian", 1, 0x280, 0, 0, 0},
    {'D', 1, 0, false, 10, "Cinder", 1, 0xCA, 0x80000, 0x8000, 17},
    {'D', 49, 99, false, 10, "Cinder", 1, 0xCA, 0x80000, 0x8000, 17},
    {'D', 50, 0, false, 11, "Cinder II", 1, 0xC2, 0x8000, 0x8000, 1},
    {'D', 255, 0, false, 11, "Cinder II", 1, 0xC2, 0x8000, 0x8000, 1},
    {'X', 1, 0, false, 12, "J7", 1, 0x401, 0, 0, 0},
    {'X', 1, 2, false, 12, "J7", 1, 0x401, 0, 0, 0},
    {'X', 1, 3, false, 12, "J7", 1, 0x801, 0, 0, 0},
    {'X', 2, 0, false, 12, "J7", 1, 0x801, 0, 0, 0},
    {'Q', 1, 0, false, 13, "Wayfarer", 1, 0x2B, 0, 0, 0},
    {'J', 1, 0, false, 14, "Pinecrest", 1, 0x01, 0, 0, 0},
    {'Z', 1, 0, false, 15, "Halcyon Programmer", 1, 0x09, 0, 0, 0},
    {'N', 1, 0, false, 16, "TOLV", 1, 0x8A, 0x20000, 0x10000, 3},
    {'n', 1, 0, false, 17, "TOLV2", 1, 0x8A, 0x20000, 0x10000, 3},
};

} // namespace

TEST(ModelTable, EveryRowAndThreshold)
{
    for (const RowCase& c : kRowCases) {
        SCOPED_TRACE(std::string(1, static_cast<char>(c.letter)) + " " + std::to_string(c.major) + "." +
                     std::to_string(c.minor));
        HardwareInfo info;
        ASSERT_EQ(ApplyModelRow(info, c.letter, c.major, c.minor, c.larkin_ii), ModelMatch::known);
        EXPECT_EQ(info.model_id, c.model_id);
        EXPECT_STREQ(info.description, c.name);
        EXPECT_EQ(info.protocol_generation, c.generation);
        EXPECT_EQ(info.capabilities, c.capabilities);
        EXPECT_EQ(info.memory_size, c.memory_size);
        EXPECT_EQ(info.bank_size, c.bank_size);
        EXPECT_EQ(info.bank_count, c.bank_count);
        EXPECT_EQ(info.interface_type, 0u);
    }
}

TEST(ModelTable, NoModelAndUnknownLettersChangeNothing)
{
    HardwareInfo info;
    EXPECT_EQ(ApplyModelRow(info, 'd', 1, 2, false), ModelMatch::no_model);
    EXPECT_EQ(info.capabilities, 0u);
    for (std::uint8_t letter : {'B', 'C', 'a', 'o', 'p', '0', '3', '9', 'z'}) {
        EXPECT_EQ(ApplyModelRow(info, letter, 10, 15, false), ModelMatch::unknown) << letter;
        EXPECT_EQ(info.model_id, 0u);
        EXPECT_STREQ(info.description, "");
    }
}

// ---- Bank geometry ----------------------------------------------------------------------

TEST(BankGeometry, WayfarerModes)
{
    DeviceConnection c;
    c.hardware_info.model_id = 13;
    c.hardware_info.capabilities = 0x2B;
    const struct {
        std::uint32_t mode, size, count;
    } cases[] = {{1, 0x10000, 8}, {2, 0x10000, 8}, {3, 0x20000, 4}, {4, 0x40000, 2}, {5, 0x10000, 8}};
    for (const auto& k : cases) {
        c.wayfarer_mode = k.mode;
        EXPECT_EQ(BankSize(c), k.size) << k.mode;
        EXPECT_EQ(BankCount(c), k.count) << k.mode;
    }
}

TEST(BankGeometry, ModeOutsideTableDoesNotDivideByZero)
{
    DeviceConnection c;
    c.hardware_info.model_id = 13;
    c.hardware_info.capabilities = 0x2B;
    for (std::uint32_t mode : {0u, 6u, 0x7Fu, 0xFFu}) {
        c.wayfarer_mode = mode;
        EXPECT_EQ(BankSize(c), 0u) << mode; // memory_size, 0 for a Wayfarer
        EXPECT_EQ(BankCount(c), 1u) << mode;
    }
    c.hardware_info.memory_size = 0x40000;
    c.wayfarer_mode = 9;
    EXPECT_EQ(BankSize(c), 0x40000u);
    EXPECT_EQ(BankCount(c), 2u);
}

TEST(BankGeometry, UnbankedDeviceHasOneBank)
{
    DeviceConnection c;
    c.hardware_info.model_id = 13;
    c.hardware_info.capabilities = 0x23;
    c.wayfarer_mode = 3;
    EXPECT_EQ(BankCount(c), 1u);
    EXPECT_EQ(BankSize(c), 0x20000u); // the size still follows the mode
}
