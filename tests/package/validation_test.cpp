// Package validation: every id from its cause, the order of the checks, the size rules, and the
// upload's own reading of the package (everything before the device is addressed).
#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "device/result.h"
#include "package/package.h"
#include "package/package_file.h"
#include "package/upload_steps.h"
#include "tests/package/package_test_support.h"

namespace {

using kvtest::GoodSpec;
using kvtest::TempFolder;
using qfwpack::PackageSpec;

constexpr FileVersionNumbers kOwn = kBuiltInFileVersion;

// Stands in for the device's EEPROM read and counts how often validation asks.
struct FakeDevice {
    std::uint8_t device_id = 'A';
    std::int32_t result = KV_S_OK;
    int calls = 0;

    EEPROMInfoReader reader()
    {
        return [this](EEPROMInfo* info) {
            ++calls;
            info->device_id = device_id;
            return result;
        };
    }
};

class Validation : public ::testing::Test {
protected:
    int validate(const std::string& path, const FileVersionNumbers& own = kOwn)
    {
        return ValidateFirmwarePackage(path.c_str(), device.reader(), own, &header_shown);
    }
    int validate(const PackageSpec& spec, const FileVersionNumbers& own = kOwn)
    {
        return validate(folder.package(spec), own);
    }

    TempFolder folder;
    FakeDevice device;
    PackageHeader header_shown{}; // what the package details would show
};

TEST(PackageMessages, TextsAreTheStringTableTexts)
{
    EXPECT_STREQ(PackageMessageText(130), "Firmware package checksum mismatch. Package is corrupt.");
    EXPECT_STREQ(PackageMessageText(131), "Firmware package not intended for this hardware.");
    EXPECT_STREQ(PackageMessageText(132), "Firmware package requires newer updater utility.");
    EXPECT_STREQ(PackageMessageText(133), "Firmware package is invalid (Generic Failure).");
    EXPECT_STREQ(PackageMessageText(134), "File is not a Quenbyware firmware package.");
    EXPECT_STREQ(PackageMessageText(135),
                 "Unable to retrieve hardware ID from attached hardware. Contact HW vendor.");
    EXPECT_STREQ(PackageMessageText(136), "Firmware package has been deprecated and cannot be used.");
    EXPECT_STREQ(PackageMessageText(137),
                 "The firmware package's signature does not match its contents. It may "
                 "have been altered. Download it again from the manufacturer.");
    EXPECT_STREQ(PackageMessageText(138),
                 "The firmware package is not signed, and only signed packages are accepted.");
    EXPECT_STREQ(PackageMessageText(0), "");
    EXPECT_STREQ(PackageMessageText(139), "");
}

TEST_F(Validation, AcceptsAFittingPackageAndKeepsItsHeader)
{
    PackageSpec spec = GoodSpec();
    spec.fw_major = 3;
    spec.fw_minor = 7;
    spec.fw_letter = 'A';
    EXPECT_EQ(validate(spec), 0);
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(std::memcmp(header_shown.magic, "CQFW", 4), 0);
    EXPECT_EQ(header_shown.fw_major, 3);
    EXPECT_EQ(header_shown.fw_minor, 7);
    EXPECT_EQ(header_shown.fw_letter, 'A');
    EXPECT_EQ(header_shown.target_hw, 'A');
    EXPECT_EQ(header_shown.min_updater_build, spec.min_updater_build);
    EXPECT_EQ(header_shown.checksum,
              qfwpack::PackageSum(qfwpack::BuildPackage(spec).data(), qfwpack::BuildPackage(spec).size()));
}

// KV_PROJECT_VERSION comes from the build, beside the generated header the program reads.
TEST_F(Validation, TheBuiltInVersionIsTheProjectVersion)
{
    const std::string built =
        std::to_string(kBuiltInFileVersion.major) + "." + std::to_string(kBuiltInFileVersion.minor) + "." +
        std::to_string(kBuiltInFileVersion.build) + "." + std::to_string(kBuiltInFileVersion.revision);
    EXPECT_EQ(built, KV_PROJECT_VERSION);

    PackageSpec spec = GoodSpec();
    spec.min_updater_major = static_cast<std::uint8_t>(kBuiltInFileVersion.major);
    spec.min_updater_minor = static_cast<std::uint8_t>(kBuiltInFileVersion.minor);
    spec.min_updater_build = static_cast<std::uint16_t>(kBuiltInFileVersion.build);
    EXPECT_EQ(validate(spec, kBuiltInFileVersion), 0);
    ++spec.min_updater_build;
    EXPECT_EQ(validate(spec, kBuiltInFileVersion), IDS_PACKAGE_NEEDS_NEWER_UPDATER);
}

TEST_F(Validation, MissingEmptyAndUnopenableFilesGive133)
{
    EXPECT_EQ(validate(folder.file("absent.qfw")), IDS_PACKAGE_INVALID);
    EXPECT_EQ(validate(folder.raw({})), IDS_PACKAGE_INVALID);
    EXPECT_EQ(ValidateFirmwarePackage(nullptr, device.reader(), kOwn), IDS_PACKAGE_INVALID);
    EXPECT_EQ(validate(std::string()), IDS_PACKAGE_INVALID);
    // A folder is not a file, whatever its size on disk.
    EXPECT_EQ(validate(folder.file("")), IDS_PACKAGE_INVALID);
    EXPECT_EQ(device.calls, 0);
}

TEST_F(Validation, AFileLockedAgainstReadersGives133)
{
    const std::string path = folder.package(GoodSpec());
    {
        PackageFile holder;
        ASSERT_TRUE(holder.open(path.c_str(), PackageFile::Sharing::exclusive));
        EXPECT_EQ(validate(path), IDS_PACKAGE_INVALID);
    }
    EXPECT_EQ(validate(path), 0);
}

TEST_F(Validation, OtherReadersDoNotStopValidation)
{
    const std::string path = folder.package(GoodSpec());
    PackageFile reader;
    ASSERT_TRUE(reader.open(path.c_str(), PackageFile::Sharing::readers_allowed));
    EXPECT_EQ(validate(path), 0);
    // ...but they do stop an upload, which must have the file to itself.
    PackageFile upload_file;
    LoadedPackage loaded;
    EXPECT_EQ(LoadPackageForUpload(upload_file, path.c_str(), &loaded), KV_E_GENERAL_ERROR);
}

TEST_F(Validation, SignatureIsTestedBeforeEverythingElse)
{
    PackageSpec spec = GoodSpec();
    spec.magic = {'C', 'Q', 'F', 'X'};
    spec.bad_checksum = true;
    spec.fw_letter = 'D';
    spec.fw_major = 2;
    spec.target_hw = 'D';
    spec.min_updater_major = 9;
    device.result = KV_E_COMM_READ_FAILURE;
    EXPECT_EQ(validate(spec), IDS_PACKAGE_NOT_A_PACKAGE);
    EXPECT_EQ(device.calls, 0);
}

TEST_F(Validation, ShortFilesAreReadOnlyAsFarAsTheyGo)
{
    // Too short to be uploaded: 133 once the signature is there ...
    PackageSpec spec = GoodSpec();
    spec.fw_major = 0x12;
    spec.truncate_to = 20;
    EXPECT_EQ(validate(spec), IDS_PACKAGE_INVALID);
    // ... and the header holds exactly what the file had, zero beyond its end.
    EXPECT_EQ(header_shown.fw_major, 0x12);
    EXPECT_EQ(header_shown.target_hw, 0); // offset 22 lies past the end
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&header_shown);
    for (std::size_t i = 20; i < sizeof(PackageHeader); ++i)
        ASSERT_EQ(raw[i], 0) << "offset " << i;

    spec.truncate_to = 255;
    EXPECT_EQ(validate(spec), IDS_PACKAGE_INVALID);
    EXPECT_EQ(validate(GoodSpec(0)), IDS_PACKAGE_INVALID); // exactly 256 bytes: no body
    EXPECT_EQ(device.calls, 0);
}

TEST_F(Validation, AShortFileWithoutTheSignatureIsNotAPackage)
{
    // The signature decides first, so a small file of another kind is named for what it is.
    EXPECT_EQ(validate(folder.raw({'M', 'Z', 0x90, 0})), IDS_PACKAGE_NOT_A_PACKAGE);
    EXPECT_EQ(validate(folder.raw({'C', 'Q', 'F'})), IDS_PACKAGE_NOT_A_PACKAGE);
    EXPECT_EQ(header_shown.magic[2], 'F');
    EXPECT_EQ(header_shown.magic[3], 0);
}

TEST_F(Validation, BodySizesOneTo65536AreAccepted)
{
    EXPECT_EQ(validate(GoodSpec(1)), 0);
    EXPECT_EQ(validate(GoodSpec(255)), 0);
    EXPECT_EQ(validate(GoodSpec(65536)), 0);
    EXPECT_EQ(validate(GoodSpec(65537)), IDS_PACKAGE_INVALID);
    EXPECT_EQ(device.calls, 3);
}

TEST_F(Validation, AHugeFileIsRefusedBySizeAlone)
{
    // 4 GiB more than a valid package: the low 32 bits of its size look like a 512-byte body.
    const std::string path = folder.package(GoodSpec(512));
    std::error_code error;
    std::filesystem::resize_file(path, (std::uint64_t{1} << 32) + 256 + 512, error);
    if (error)
        GTEST_SKIP() << "no sparse file here: " << error.message();
    EXPECT_EQ(validate(path), IDS_PACKAGE_INVALID);
    EXPECT_EQ(header_shown.target_hw, 'A');
    PackageFile file;
    LoadedPackage loaded;
    EXPECT_EQ(LoadPackageForUpload(file, path.c_str(), &loaded), KV_E_INVALID_FIRMWARE_IMAGE);
    EXPECT_FALSE(loaded.body);
    EXPECT_EQ(device.calls, 0);
}

TEST_F(Validation, ChecksumIsTestedBeforeTheDeviceIsAsked)
{
    PackageSpec spec = GoodSpec();
    spec.bad_checksum = true;
    spec.target_hw = 'B';
    device.result = KV_E_DEVICE_NOT_FOUND;
    EXPECT_EQ(validate(spec), IDS_PACKAGE_CHECKSUM_MISMATCH);
    EXPECT_EQ(device.calls, 0);
    // The header of a rejected file is still the one on show.
    EXPECT_EQ(header_shown.target_hw, 'B');
}

TEST_F(Validation, EveryByteFromOffset12IsCovered)
{
    const std::vector<std::uint8_t> good = qfwpack::BuildPackage(GoodSpec(300));
    for (std::size_t offset : {12u, 14u, 22u, 100u, 255u, 256u, 400u, 555u}) {
        std::vector<std::uint8_t> bytes = good;
        bytes[offset] ^= 0x01;
        EXPECT_EQ(validate(folder.raw(bytes)), IDS_PACKAGE_CHECKSUM_MISMATCH) << "offset " << offset;
    }
}

TEST_F(Validation, TheUpdaterRequirementLiesOutsideTheSum)
{
    std::vector<std::uint8_t> bytes = qfwpack::BuildPackage(GoodSpec());
    bytes[4] = 0;
    bytes[5] = 0;
    bytes[6] = 0;
    bytes[7] = 0;
    EXPECT_EQ(validate(folder.raw(bytes)), 0);
}

TEST_F(Validation, LateCinderFirmwareForCinderIsDeprecatedWithoutAskingTheDevice)
{
    PackageSpec spec = GoodSpec();
    spec.fw_letter = 'D';
    spec.target_hw = 'D';
    device.result = KV_E_DEVICE_NOT_FOUND;
    for (int major : {2, 3, 255}) {
        spec.fw_major = static_cast<std::uint8_t>(major);
        EXPECT_EQ(validate(spec), IDS_PACKAGE_DEPRECATED) << major;
    }
    EXPECT_EQ(device.calls, 0);

    device.result = KV_S_OK;
    device.device_id = 'D';
    spec.fw_major = 1;
    EXPECT_EQ(validate(spec), 0);
    spec.fw_major = 2;
    spec.target_hw = 'd';
    device.device_id = 'd';
    EXPECT_EQ(validate(spec), 0);
    spec.target_hw = 'D';
    spec.fw_letter = 'E';
    device.device_id = 'D';
    EXPECT_EQ(validate(spec), 0);
    EXPECT_EQ(device.calls, 3);
}

TEST_F(Validation, AFailedHardwareIdReadGives135)
{
    device.result = KV_E_COMM_READ_FAILURE;
    EXPECT_EQ(validate(GoodSpec()), IDS_PACKAGE_NO_HARDWARE_ID);
    device.result = KV_E_PORT_BUSY;
    EXPECT_EQ(validate(GoodSpec()), IDS_PACKAGE_NO_HARDWARE_ID);
    // A positive answer is not a failure.
    device.result = 1;
    EXPECT_EQ(validate(GoodSpec()), 0);
    // No way to ask a device at all.
    EXPECT_EQ(ValidateFirmwarePackage(folder.package(GoodSpec()).c_str(), EEPROMInfoReader{}, kOwn),
              IDS_PACKAGE_NO_HARDWARE_ID);
}

TEST_F(Validation, HardwareMatchRules)
{
    struct Case {
        std::uint8_t device_id;
        std::uint8_t target_hw;
        int expected;
    };
    const Case cases[] = {
        {'A', 'A', 0}, {'A', 'B', 131}, {'a', 'A', 131}, {0xFF, 'N', 0},  {0xFF, 'n', 131}, {0xFF, 0xFF, 0},
        {'N', 'N', 0}, {'d', 'd', 0},   {'d', 'D', 131}, {'D', 'd', 131}, {0x00, 'N', 131},
    };
    for (const Case& c : cases) {
        device.device_id = c.device_id;
        PackageSpec spec = GoodSpec();
        spec.target_hw = c.target_hw;
        EXPECT_EQ(validate(spec), c.expected)
            << "device " << int{c.device_id} << " package " << int{c.target_hw};
    }
}

TEST_F(Validation, UpdaterVersionComparison)
{
    struct Case {
        int major, minor, build;
        int expected;
    };
    const int own_major = static_cast<int>(kOwn.major);
    const int own_minor = static_cast<int>(kOwn.minor);
    const int own_build = static_cast<int>(kOwn.build);
    const Case cases[] = {
        {own_major, own_minor, own_build, 0},
        {own_major, own_minor, own_build - 1, 0},
        {own_major, own_minor - 1, 65535, 0},
        {own_major - 1, 255, 65535, 0},
        {0, 0, 0, 0},
        {own_major, own_minor, own_build + 1, 132},
        {own_major, own_minor + 1, 0, 132},
        {own_major + 1, 0, 0, 132},
        {255, 255, 65535, 132},
    };
    for (const Case& c : cases) {
        // Steps below zero or past a field's width do not exist for this version.
        if (c.major < 0 || c.minor < 0 || c.build < 0 || c.major > 255 || c.minor > 255 || c.build > 65535)
            continue;
        PackageSpec spec = GoodSpec();
        spec.min_updater_major = static_cast<std::uint8_t>(c.major);
        spec.min_updater_minor = static_cast<std::uint8_t>(c.minor);
        spec.min_updater_build = static_cast<std::uint16_t>(c.build);
        EXPECT_EQ(validate(spec), c.expected) << c.major << "." << c.minor << "." << c.build;
    }
}

TEST_F(Validation, OwnVersionIsAnInputAndItsRevisionIsIgnored)
{
    PackageSpec spec = GoodSpec();
    spec.min_updater_major = 2;
    spec.min_updater_minor = 0;
    spec.min_updater_build = 5;
    EXPECT_EQ(validate(spec, {2, 0, 5, 0}), 0);
    EXPECT_EQ(validate(spec, {2, 0, 4, 999}), IDS_PACKAGE_NEEDS_NEWER_UPDATER);
    EXPECT_EQ(validate(spec, {1, 255, 65535, 65535}), IDS_PACKAGE_NEEDS_NEWER_UPDATER);
    EXPECT_EQ(validate(spec, {3, 0, 0, 0}), 0);
    // Numbers that could not be read count as 0.
    EXPECT_EQ(validate(spec, {}), IDS_PACKAGE_NEEDS_NEWER_UPDATER);
}

TEST_F(Validation, HardwareIsJudgedBeforeTheUpdaterVersion)
{
    PackageSpec spec = GoodSpec();
    spec.target_hw = 'B';
    spec.min_updater_major = 9;
    EXPECT_EQ(validate(spec), IDS_PACKAGE_WRONG_HARDWARE);
    device.result = KV_E_COMM_READ_FAILURE;
    EXPECT_EQ(validate(spec), IDS_PACKAGE_NO_HARDWARE_ID);
}

TEST_F(Validation, EachValidationReplacesTheHeader)
{
    PackageSpec spec = GoodSpec();
    spec.fw_major = 7;
    EXPECT_EQ(validate(spec), 0);
    EXPECT_EQ(header_shown.fw_major, 7);
    EXPECT_EQ(validate(folder.file("absent.qfw")), IDS_PACKAGE_INVALID);
    EXPECT_EQ(header_shown.fw_major, 0);
    EXPECT_EQ(header_shown.magic[0], 0);
}

TEST(PackageFileSize, SizeByName)
{
    TempFolder folder;
    EXPECT_EQ(GetFileSizeByName(folder.package(GoodSpec(1000)).c_str()), 1256u);
    EXPECT_EQ(GetFileSizeByName(folder.raw({}).c_str()), 0u);
    EXPECT_EQ(GetFileSizeByName(folder.file("absent").c_str()), 0u);
    EXPECT_EQ(GetFileSizeByName(""), 0u);
    EXPECT_EQ(GetFileSizeByName(nullptr), 0u);
}

TEST(PackageChecksumRule, SumsFromOffset12)
{
    std::vector<std::uint8_t> bytes(20, 0xFF);
    EXPECT_EQ(PackageChecksum(bytes.data(), 12), 0u);
    EXPECT_EQ(PackageChecksum(bytes.data(), 13), 0xFFu);
    EXPECT_EQ(PackageChecksum(bytes.data(), 20), 8u * 0xFF);
    EXPECT_EQ(PackageChecksum(nullptr, 20), 0u);
    const std::vector<std::uint8_t> file = qfwpack::BuildPackage(GoodSpec(70000 - 256));
    EXPECT_EQ(PackageChecksum(file.data(), file.size()), qfwpack::PackageSum(file.data(), file.size()));
}

// The upload's own reading and checking of the package, before anything touches the device.
class UploadReading : public ::testing::Test {
protected:
    std::int32_t load(const std::string& path)
    {
        PackageFile file;
        loaded = LoadedPackage{};
        return LoadPackageForUpload(file, path.c_str(), &loaded);
    }
    std::int32_t load(const PackageSpec& spec) { return load(folder.package(spec)); }

    TempFolder folder;
    LoadedPackage loaded;
};

TEST_F(UploadReading, ReadsTheWholeBody)
{
    const PackageSpec spec = GoodSpec(777);
    ASSERT_EQ(load(spec), KV_S_OK);
    const std::vector<std::uint8_t> body = qfwpack::BuildBody(spec);
    ASSERT_EQ(loaded.body_size, body.size());
    EXPECT_EQ(std::vector<std::uint8_t>(loaded.body.get(), loaded.body.get() + loaded.body_size), body);
    EXPECT_EQ(loaded.header.target_hw, 'A');
}

TEST_F(UploadReading, RefusesWhatCannotBeSent)
{
    EXPECT_EQ(load(folder.file("absent.qfw")), KV_E_GENERAL_ERROR);
    EXPECT_EQ(load(std::string()), KV_E_GENERAL_ERROR);
    EXPECT_EQ(load(GoodSpec(0)), KV_E_INVALID_FIRMWARE_IMAGE);
    EXPECT_FALSE(loaded.body); // no buffer was taken for it
    EXPECT_EQ(load(folder.raw({})), KV_E_INVALID_FIRMWARE_IMAGE);
    PackageSpec cut = GoodSpec();
    cut.truncate_to = 100;
    EXPECT_EQ(load(cut), KV_E_INVALID_FIRMWARE_IMAGE);
    EXPECT_FALSE(loaded.body);
    EXPECT_EQ(load(GoodSpec(65537)), KV_E_INVALID_FIRMWARE_IMAGE);
    EXPECT_FALSE(loaded.body);
}

TEST_F(UploadReading, ChecksSignatureTrailerAndFileSum)
{
    PackageSpec spec = GoodSpec(300);
    spec.magic = {'c', 'Q', 'F', 'W'};
    EXPECT_EQ(load(spec), KV_E_INVALID_FIRMWARE_IMAGE);
    spec = GoodSpec(300);
    spec.bad_trailer = true;
    EXPECT_EQ(load(spec), KV_E_INVALID_FIRMWARE_IMAGE);
    spec = GoodSpec(300);
    spec.bad_checksum = true;
    EXPECT_EQ(load(spec), KV_E_INVALID_FIRMWARE_IMAGE);
    // A one-byte body is its own trailer: the sum of nothing, 0.
    spec = GoodSpec(1);
    EXPECT_EQ(load(spec), KV_S_OK);
    EXPECT_EQ(loaded.body[0], 0);
    EXPECT_EQ(load(GoodSpec(65536)), KV_S_OK);
}

TEST_F(UploadReading, DoesNotRepeatTheChoiceTimeTests)
{
    // Hardware, updater version and deprecation were judged when the package was chosen.
    PackageSpec spec = GoodSpec();
    spec.fw_letter = 'D';
    spec.fw_major = 2;
    spec.target_hw = 'D';
    spec.min_updater_major = 200;
    EXPECT_EQ(load(spec), KV_S_OK);
}

TEST(UploadCommand, AnnouncesTheBodyIn16Bits)
{
    using Bytes = std::array<std::uint8_t, 4>;
    EXPECT_EQ(BuildUploadCommand(512), (Bytes{0x66, 0x02, 0x00, 0x68}));
    EXPECT_EQ(BuildUploadCommand(300), (Bytes{0x66, 0x01, 0x2C, 0x93}));
    EXPECT_EQ(BuildUploadCommand(65536), (Bytes{0x66, 0x00, 0x00, 0x66}));
    EXPECT_EQ(BuildUploadCommand(65535), (Bytes{0x66, 0xFF, 0xFF, 0x64}));
    EXPECT_EQ(BuildUploadCommand(1), (Bytes{0x66, 0x00, 0x01, 0x67}));
}

TEST(UploadStatus, FinalStatusTable)
{
    const std::pair<std::uint8_t, std::int32_t> table[] = {
        {'C', KV_S_OK},
        {'O', KV_S_OK},
        {'?', KV_E_REQUEST_NOT_SUPPORTED},
        {'E', KV_E_EXTERNAL_CS_INVALID},
        {'F', KV_E_INVALID_RESPONSE},
        {'H', KV_E_INVALID_HARDWARE_ID},
        {'I', KV_E_INTERNAL_CS_INVALID},
        {'R', KV_E_NVRAM_BUFFERING_FAILED},
        {'V', KV_E_INVALID_VERSION},
        {'W', KV_E_FIRMWARE_FLASH_FAILED},
        {'Z', KV_S_OK},
        {0x00, KV_S_OK},
        {0xFF, KV_S_OK},
        {'c', KV_S_OK},
    };
    for (const auto& [status, code] : table)
        EXPECT_EQ(UploadStatusResult(status), code) << "status " << int{status};
}

} // namespace
