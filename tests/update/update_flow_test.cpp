// The update flow both front ends drive, against the simulated device: what is sent is what was
// checked, and the version afterwards is judged against the package that was sent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/result.h"
#include "package/sha256.h"
#include "tests/device/test_support.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"
#include "update/update_flow.h"

namespace {

constexpr FileVersionNumbers kOwn{1, 13, 101, 0};

std::string Hex(const std::string& text)
{
    return Sha256Hex(Sha256Of(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Sha256, KnownDigestsAcrossBlockBoundaries)
{
    EXPECT_EQ(Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block's padding.
    EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Fed in uneven pieces, the same as in one.
    const std::string million(1000000, 'a');
    Sha256 pieces;
    for (std::size_t at = 0; at < million.size();) {
        const std::size_t n = std::min<std::size_t>(1 + at % 97, million.size() - at);
        pieces.Update(reinterpret_cast<const std::uint8_t*>(million.data()) + at, n);
        at += n;
    }
    EXPECT_EQ(Sha256Hex(pieces.Finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

class UpdateFlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        connection_ = std::make_unique<DeviceConnection>();
        flow_ = std::make_unique<UpdateFlow>(*connection_);
    }
    void TearDown() override
    {
        flow_.reset();
        connection_.reset();
        if (sim_)
            sim_->stop();
    }

    void StartSim(kvsim::DeviceConfig config = {})
    {
        sim_ = std::make_unique<kvsim::SimDevice>(config);
        ASSERT_TRUE(sim_->start());
        ASSERT_TRUE(sim_->link_as(ports_.link(3)));
    }

    std::string Package(const std::string& name, qfwpack::PackageSpec spec = {})
    {
        const std::string path = ports_.path() + "/" + name;
        EXPECT_TRUE(qfwpack::WritePackage(path, spec));
        return path;
    }

    static std::vector<std::uint8_t> BodyOf(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        return {bytes.begin() + 256, bytes.end()};
    }

    int UploadCommands() const
    {
        int n = 0;
        for (const kvsim::Frame& frame : sim_->frames())
            n += !frame.bytes.empty() && frame.bytes[0] == kvsim::kCmdUpload;
        return n;
    }

    FoundDevice Search() { return flow_->SearchComPorts(); }
    ExaminedPackage Examine(const std::string& path)
    {
        return flow_->Examine(path.c_str(), flow_->DeviceEepromReader(false), kOwn);
    }

    kvtest::ComDir ports_;
    std::unique_ptr<DeviceConnection> connection_;
    std::unique_ptr<UpdateFlow> flow_;
    std::unique_ptr<kvsim::SimDevice> sim_;
};

TEST_F(UpdateFlowTest, APackageReplacedAfterItsCheckIsNeverSent)
{
    StartSim();
    ASSERT_TRUE(Search().found);
    const std::string path = Package("good.qfw");
    const ExaminedPackage checked = Examine(path);
    ASSERT_TRUE(checked.accepted());

    // Another package under the same name: itself well-formed, but never checked for this device.
    qfwpack::PackageSpec other;
    other.target_hw = 'Q';
    other.seed = 7;
    Package("good.qfw", other);
    sim_->clear_frames();

    bool changed = false;
    int begins = 0;
    const std::int32_t result = flow_->FlashFile(
        path.c_str(), checked.sha256,
        [&](const UpdateProgress* progress) {
            begins += progress != nullptr && progress->flags == kProgressBegin;
            return 0;
        },
        &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(result, KV_E_INVALID_FIRMWARE_IMAGE);
    EXPECT_EQ(begins, 0) << "nothing is announced for a package that is not sent";
    EXPECT_EQ(UploadCommands(), 0);
    EXPECT_EQ(
        UpdateFlow::PackageChanged().message.text,
        std::string("The firmware package has changed since it was checked. Select it again with Browse."));

    // The same bytes written again are the same package.
    Package("good.qfw");
    EXPECT_EQ(flow_->FlashFile(path.c_str(), checked.sha256, nullptr, &changed), KV_S_OK);
    EXPECT_FALSE(changed);
    EXPECT_EQ(sim_->received_image(), BodyOf(path));
}

TEST_F(UpdateFlowTest, TheExaminedBytesAreSentWhateverTheFileBecomes)
{
    StartSim();
    ASSERT_TRUE(Search().found);
    const std::string path = Package("good.qfw");
    const std::vector<std::uint8_t> checked_body = BodyOf(path);
    const ExaminedPackage package = Examine(path);
    ASSERT_TRUE(package.accepted());
    std::filesystem::remove(path);

    EXPECT_EQ(flow_->FlashExamined(package, nullptr), KV_S_OK);
    EXPECT_EQ(sim_->received_image(), checked_body);
}

TEST_F(UpdateFlowTest, ARejectedPackageIsNeverSentFromMemory)
{
    StartSim();
    ASSERT_TRUE(Search().found);
    qfwpack::PackageSpec other;
    other.target_hw = 'Q';
    ExaminedPackage package = Examine(Package("other.qfw", other));
    ASSERT_EQ(package.verdict, IDS_PACKAGE_WRONG_HARDWARE);
    sim_->clear_frames();
    EXPECT_EQ(flow_->FlashExamined(package, nullptr), KV_E_INVALID_FIRMWARE_IMAGE);
    EXPECT_EQ(UploadCommands(), 0);
}

struct VersionCase {
    std::uint8_t new_major, new_minor;
    UpdateVerdict verdict;
    const char* text;
    MessageIcon icon;
};

class UpdateOutcomeTest : public UpdateFlowTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(UpdateOutcomeTest, TheVersionAfterwardsIsJudgedAgainstThePackageSent)
{
    kvsim::DeviceConfig config;
    config.new_major = GetParam().new_major;
    config.new_minor = GetParam().new_minor;
    StartSim(config);
    ASSERT_TRUE(Search().found);
    ExaminedPackage package = Examine(Package("good.qfw"));
    ASSERT_TRUE(package.accepted());
    const std::int32_t result = flow_->FlashExamined(package, nullptr);
    ASSERT_EQ(result, KV_S_OK);
    const UpdateOutcome outcome =
        flow_->Conclude(result, package.content.header, [this] { return flow_->SearchComPorts(); });
    EXPECT_EQ(outcome.verdict, GetParam().verdict);
    EXPECT_STREQ(outcome.message.text, GetParam().text);
    EXPECT_STREQ(outcome.message.caption, "Success");
    EXPECT_EQ(outcome.message.icon, GetParam().icon);
    EXPECT_TRUE(outcome.updated());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, UpdateOutcomeTest,
    ::testing::Values(
        VersionCase{2, 21, UpdateVerdict::verified, "Update Successful. New version is 02.21.A",
                    MessageIcon::information},
        // A device that kept its firmware while saying it took the image.
        VersionCase{0, 0, UpdateVerdict::version_mismatch,
                    "Update Successful. New version is 02.20.A\n\nThe device reports 02.20.A, but "
                    "the package holds 2.21.A. If the device does not work as expected, update it "
                    "again.",
                    MessageIcon::warning},
        VersionCase{10, 15, UpdateVerdict::version_mismatch,
                    "Update Successful. New version is 10.15.A\n\nThe device reports 10.15.A, but "
                    "the package holds 2.21.A. If the device does not work as expected, update it "
                    "again.",
                    MessageIcon::warning}));

TEST_F(UpdateFlowTest, NoAnswerAfterwardsIsAnUnverifiedSuccessAndAFailureAsksNothing)
{
    PackageHeader sent{};
    sent.fw_major = 2;
    sent.fw_minor = 21;
    sent.fw_letter = 'A';
    int searches = 0;
    const UpdateOutcome unverified = flow_->Conclude(KV_S_OK, sent, [&] {
        ++searches;
        return FoundDevice{};
    });
    EXPECT_EQ(unverified.verdict, UpdateVerdict::unverified);
    EXPECT_STREQ(unverified.message.text, "Update Successful. New version is unknown (device not found).");
    const UpdateOutcome failed = flow_->Conclude(KV_E_FIRMWARE_FLASH_FAILED, sent, [&] {
        ++searches;
        return FoundDevice{};
    });
    EXPECT_EQ(failed.verdict, UpdateVerdict::failed);
    EXPECT_STREQ(failed.message.caption, "Flash failed");
    EXPECT_EQ(searches, 1);
}

TEST_F(UpdateFlowTest, ADeviceOfAnotherGenerationIsNotUsableAndItsPortIsClosed)
{
    kvsim::DeviceConfig config;
    config.hardware_letter = 'T'; // a Ferrule Pro speaks a later command set
    StartSim(config);
    const FoundDevice found = Search();
    EXPECT_FALSE(found.found);
    ASSERT_EQ(found.notes.size(), 1u);
    EXPECT_EQ(found.notes[0].probe, PortProbe::answered);
    EXPECT_FALSE(connection_->port.is_open());
}

TEST_F(UpdateFlowTest, ASearchThatFindsNothingSaysWhyPortByPort)
{
    StartSim();
    // Another program holds COM3 the way this one would: an exclusive lock on the open port.
    const int holder = ::open(ports_.link(3).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    kvsim::DeviceConfig silent;
    silent.speeds = {};
    kvsim::SimDevice quiet(silent);
    ASSERT_TRUE(quiet.start());
    ASSERT_TRUE(quiet.link_as(ports_.link(5)));

    const FoundDevice found = Search();
    ::close(holder);
    EXPECT_FALSE(found.found);
    EXPECT_EQ(found.in_use, std::vector<std::string>{"COM3"});
    EXPECT_EQ(found.silent, std::vector<std::string>{"COM5"});
    EXPECT_EQ(AdviseNotFound(found).text,
              "COM3 is in use by another program. Close that program, then press Detect.\n"
              "No device answered on COM5. Check the cable and the device's driver, then press Detect.");
    quiet.stop();
}

// The system's facts about USB serial adapters, as a test sets them; counts how often it is asked.
class FakeAdapters final : public AdapterInventory {
public:
    std::vector<UsbAdapter> adapters;
    std::vector<PortHolder> holders;
    mutable int reads = 0;

    std::vector<UsbAdapter> Adapters() const override
    {
        ++reads;
        return adapters;
    }
    std::vector<PortHolder> Holders(const std::string&) const override { return holders; }
    bool ModemManagerMayProbe(const std::string&) const override { return false; }
};

UsbAdapter WindowsAdapter(const std::string& hardware_id, std::uint32_t problem, const std::string& port = {})
{
    UsbDeviceRecord record;
    record.hardware_id = hardware_id;
    record.description = "USB2.0-Serial";
    record.problem_code = problem;
    record.port = port;
    const std::vector<UsbAdapter> adapters = AdaptersOfWindowsDevices({record}, false);
    return adapters.empty() ? UsbAdapter{} : adapters.front();
}

TEST_F(UpdateFlowTest, NothingFoundNamesEachAdapterWithoutAPortInTheLogAndTheAdvice)
{
    FakeAdapters system;
    system.adapters = {WindowsAdapter("USB\\VID_1A86&PID_7523&REV_0264", 28),
                       WindowsAdapter("USB\\VID_10C4&PID_EA60&REV_0100", 0, "COM4"),
                       WindowsAdapter("USB\\VID_067B&PID_2303&REV_0300", 43)};
    kvtest::MemoryLog log;
    LogSink sink{&log};
    connection_->log_sink = &sink;
    UpdateFlow flow(*connection_, &system);
    const FoundDevice none = flow.SearchPorts({});
    connection_->log_sink = nullptr;
    EXPECT_FALSE(none.found);
    EXPECT_EQ(system.reads, 1);
    EXPECT_EQ(log.text(),
              "QBKorvane: No device found: a USB serial adapter (WCH CH340, USB\\VID_1A86&PID_7523) "
              "is plugged in but has no driver (problem code 28)\r\n"
              "QBKorvane: No device found: a USB serial adapter (Prolific PL2303, "
              "USB\\VID_067B&PID_2303) is plugged in but its driver cannot start it (problem code "
              "43)");
    // The balloon: no charge-only cable, since the adapters came through USB.
    EXPECT_EQ(
        AdviseNotFound(none).text,
        "A USB serial adapter (WCH CH340, USB\\VID_1A86&PID_7523) is plugged in but has no driver (problem "
        "code 28). Install the adapter's driver (from WCH; Windows Update may offer it too), then plug the "
        "adapter in again.\n"
        "A USB serial adapter (Prolific PL2303, USB\\VID_067B&PID_2303) is plugged in but its driver cannot "
        "start it (problem code 43). Install a driver version that supports this chip (clone chips and "
        "some driver versions do not go together; try the current and an older version from Prolific), then "
        "plug the adapter in again.");

    // Only working adapters: still no port the search could use, but nothing about the cable.
    system.adapters = {WindowsAdapter("USB\\VID_10C4&PID_EA60&REV_0100", 0, "COM4")};
    EXPECT_EQ(AdviseNotFound(flow.SearchPorts({})).text,
              "No serial port is present. Plug the device in, and check the device's driver.");
    // Nothing came through USB at all: then, and only then, the charge-only cable.
    system.adapters.clear();
    EXPECT_EQ(
        AdviseNotFound(flow.SearchPorts({})).text,
        "No serial port is present. Plug the device in, and check the cable (a charge-only cable carries "
        "no data) and the device's driver.");
}

TEST_F(UpdateFlowTest, APortInUseNamesItsHolderAndAFoundDeviceNeverAsksForAdapters)
{
    StartSim();
    FakeAdapters system;
    system.holders = {{4242, "minicom"}};
    UpdateFlow flow(*connection_, &system);
    ASSERT_TRUE(flow.SearchComPorts().found);
    EXPECT_EQ(system.reads, 0);
    connection_->ClosePort();

    const int holder = ::open(ports_.link(3).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const FoundDevice found = flow.SearchPorts({{"COM3", kvtest::ComPath(3)}});
    ::close(holder);
    EXPECT_EQ(HoldersOf(found, "COM3"), "minicom, process 4242");
    EXPECT_EQ(AdviseNotFound(found).text,
              "COM3 is in use by another program (minicom, process 4242). Close that "
              "program, then press Detect.");
}

TEST_F(UpdateFlowTest, AFileThatCannotBeHadSaysWhyWithoutAnyDevice)
{
    const std::string folder = ports_.path() + "/folder.qfw";
    std::filesystem::create_directory(folder);
    const std::string fifo = ports_.path() + "/fifo.qfw";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {ports_.path() + "/absent.qfw", "No such file or directory"},
        {folder, "Is a directory"},
        {fifo, "Not a regular file"}, // refused without waiting for a writer
    };
    for (const auto& c : cases) {
        const ExaminedPackage package = flow_->ReadPackageFile(c.path.c_str());
        EXPECT_FALSE(package.readable()) << c.path;
        EXPECT_EQ(package.read_failure, c.reason) << c.path;
    }
    // A file read whole but found wanting is readable: its verdict says the rest.
    qfwpack::PackageSpec bad;
    bad.magic = {'X', 'Q', 'F', 'W'};
    const ExaminedPackage not_a_package = flow_->ReadPackageFile(Package("bad.qfw", bad).c_str());
    EXPECT_TRUE(not_a_package.readable());
}

} // namespace
