// The update flow both front ends drive, against the simulated device: what is sent is what was
// checked, and the version afterwards is judged against the package that was sent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

    FoundDevice Search() { return flow_->Find(SearchTarget::ComSearch()); }
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
    const std::int32_t result = flow_->SendFile(
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
    EXPECT_EQ(flow_->SendFile(path.c_str(), checked.sha256, nullptr, &changed), KV_S_OK);
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

    EXPECT_EQ(flow_->Send(package, package.verdict, nullptr), KV_S_OK);
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
    EXPECT_EQ(flow_->Send(package, package.verdict, nullptr), KV_E_INVALID_FIRMWARE_IMAGE);
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
    const std::int32_t result = flow_->Send(package, package.verdict, nullptr);
    ASSERT_EQ(result, KV_S_OK);
    const UpdateOutcome outcome =
        flow_->Conclude(result, package.content.header, SearchTarget::ComSearch(), "COM3");
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
    const SearchTarget nowhere = SearchTarget::Ports({{"gone", ports_.path() + "/gone"}});
    const UpdateOutcome failed = flow_->Conclude(KV_E_FIRMWARE_FLASH_FAILED, sent, nowhere, "gone");
    EXPECT_EQ(failed.verdict, UpdateVerdict::failed);
    EXPECT_STREQ(failed.message.caption, "Flash failed");
    EXPECT_TRUE(connection_->last_search().empty()) << "a failure asks nothing";
    const UpdateOutcome unverified = flow_->Conclude(KV_S_OK, sent, nowhere, "gone");
    EXPECT_EQ(unverified.verdict, UpdateVerdict::unverified);
    EXPECT_STREQ(unverified.message.text, "Update Successful. New version is unknown (device not found).");
    EXPECT_EQ(connection_->last_search().size(), 1u);
}

TEST_F(UpdateFlowTest, ADeviceOfAnotherGenerationIsNotUsableAndItsPortIsClosed)
{
    kvsim::DeviceConfig config;
    config.hardware_letter = 'T'; // a Ferrule Pro speaks a later command set
    StartSim(config);
    const FoundDevice found = Search();
    EXPECT_FALSE(found.found);
    ASSERT_EQ(found.passed_over().size(), 1u);
    EXPECT_EQ(found.passed_over()[0]->port, "COM3");
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
    ASSERT_EQ(found.attempts.size(), 2u);
    EXPECT_EQ(found.attempts[0].state, PortState::in_use);
    EXPECT_EQ(found.attempts[1].state, PortState::silent);
    EXPECT_EQ(AdviseNotFound(found).text,
              "COM3 is in use by another program. Close that program, then press Detect.\n"
              "No device answered on COM5. Check the cable (a charge-only cable carries no data) and the "
              "device's driver, then press Detect.");
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
    const FoundDevice none = flow.Find(SearchTarget::Ports({}));
    connection_->log_sink = nullptr;
    EXPECT_FALSE(none.found);
    EXPECT_EQ(system.reads, 1);
    EXPECT_EQ(log.text(),
              "QBKorvane: COM Port closed.\r\n"
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
    EXPECT_EQ(AdviseNotFound(flow.Find(SearchTarget::Ports({}))).text,
              "No serial port is present. Plug the device in, and check the device's driver.");
    // Nothing came through USB at all: then, and only then, the charge-only cable.
    system.adapters.clear();
    EXPECT_EQ(
        AdviseNotFound(flow.Find(SearchTarget::Ports({}))).text,
        "No serial port is present. Plug the device in, and check the cable (a charge-only cable carries "
        "no data) and the device's driver.");
}

TEST_F(UpdateFlowTest, APortInUseNamesItsHolderAndAFoundDeviceNeverAsksForAdapters)
{
    StartSim();
    FakeAdapters system;
    system.holders = {{4242, "minicom"}};
    UpdateFlow flow(*connection_, &system);
    ASSERT_TRUE(flow.Find(SearchTarget::ComSearch()).found);
    EXPECT_EQ(system.reads, 0);
    connection_->ClosePort();

    const int holder = ::open(ports_.link(3).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const FoundDevice found = flow.Find(SearchTarget::Ports({{"COM3", kvtest::ComPath(3)}}));
    ::close(holder);
    ASSERT_EQ(found.attempts.size(), 1U);
    EXPECT_EQ(PortStateWords(found.attempts.front()), "in use by another program (minicom, process 4242)");
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

// A device this program cannot update (a later command set) on COM3, a Korvane on COM5.
class PastAnUnusableDeviceTest : public UpdateFlowTest {
protected:
    void SetUp() override
    {
        UpdateFlowTest::SetUp();
        kvsim::DeviceConfig later;
        later.hardware_letter = 'T';
        other_ = std::make_unique<kvsim::SimDevice>(later);
        ASSERT_TRUE(other_->start());
        ASSERT_TRUE(other_->link_as(ports_.link(3)));
        kvsim::DeviceConfig korvane;
        korvane.new_major = 2; // takes the package's 2.21
        korvane.new_minor = 21;
        sim_ = std::make_unique<kvsim::SimDevice>(korvane);
        ASSERT_TRUE(sim_->start());
        ASSERT_TRUE(sim_->link_as(ports_.link(5)));
        connection_->log_sink = &log_.sink;
    }
    void TearDown() override
    {
        connection_->log_sink = nullptr;
        UpdateFlowTest::TearDown();
        other_->stop();
    }

    bool Logged(const std::string& line) const
    {
        const std::vector<std::string> lines = log_.lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::unique_ptr<kvsim::SimDevice> other_;
    kvtest::MemoryLog log_;
};

TEST_F(PastAnUnusableDeviceTest, TheComSearchGoesOnToTheKorvaneAndRemembersItsPort)
{
    const FoundDevice found = Search();
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.port, "COM5");
    EXPECT_TRUE(connection_->port.is_open());
    EXPECT_EQ(connection_->last_port_number, 5u);
    ASSERT_EQ(found.passed_over().size(), 1u);
    const PortAttempt& skipped = *found.passed_over()[0];
    EXPECT_EQ(skipped.port, "COM3");
    EXPECT_FALSE(skipped.description.empty());
    EXPECT_TRUE(
        Logged("QBKorvane: Skipping COM3: " + skipped.description + " cannot be updated by this utility"));

    // The next search starts where the usable device was, and finds it there first.
    const FoundDevice again = Search();
    ASSERT_TRUE(again.found);
    EXPECT_EQ(again.port, "COM5");
    ASSERT_FALSE(again.attempts.empty());
    EXPECT_EQ(again.attempts.front().port, "COM5");
}

TEST_F(PastAnUnusableDeviceTest, NamedPortsGoOnAlikeAndNothingUsableSaysWhatWasPassed)
{
    const SearchTarget both = SearchTarget::Ports({{"first", ports_.link(3)}, {"second", ports_.link(5)}});
    const FoundDevice found = flow_->Find(both);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.port, "second");
    ASSERT_EQ(found.attempts.size(), 2u);
    EXPECT_FALSE(found.attempts[0].accepted);
    EXPECT_TRUE(found.attempts[1].accepted);
    EXPECT_TRUE(Logged("QBKorvane: Skipping first: " + found.attempts[0].description +
                       " cannot be updated by this utility"));

    const FoundDevice alone = flow_->Find(SearchTarget::Ports({{"first", ports_.link(3)}}));
    EXPECT_FALSE(alone.found);
    EXPECT_FALSE(connection_->port.is_open());
    EXPECT_EQ(NotFoundText(alone), "first: answered: " + alone.attempts[0].description +
                                       ", firmware 02.20.T (cannot be updated by this program)");
    EXPECT_EQ(AdviseNotFound(alone).text, "The device on first (" + alone.attempts[0].description +
                                              ") cannot be updated by this program.");
}

TEST_F(PastAnUnusableDeviceTest, AfterAnUploadTheDeviceIsLookedForWhereItWasFirst)
{
    const SearchTarget both = SearchTarget::Ports({{"first", ports_.link(3)}, {"second", ports_.link(5)}});
    const std::string path = Package("good.qfw");
    ExaminedPackage package = flow_->ReadPackageFile(path.c_str());
    UpdateRequest request;
    request.target = both;
    request.package = &package;
    request.own_version = kOwn;
    std::vector<SendProgress> seen;
    request.progress = [&](const SendProgress& progress) { seen.push_back(progress); };
    const UpdateOutcome outcome = flow_->Run(request);

    EXPECT_EQ(outcome.verdict, UpdateVerdict::verified);
    EXPECT_EQ(outcome.before.port, "second");
    ASSERT_TRUE(outcome.device.found);
    ASSERT_EQ(outcome.device.attempts.size(), 1u) << "the port where the device was, tried first";
    EXPECT_EQ(outcome.device.attempts[0].port, "second");
    EXPECT_EQ(sim_->received_image(), BodyOf(path));
    EXPECT_TRUE(other_->received_image().empty());
    // Progress in bytes of the body: from the begin to the whole body, never past it.
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().stage, SendProgress::Stage::begin);
    EXPECT_EQ(seen.back().stage, SendProgress::Stage::end);
    for (const SendProgress& progress : seen)
        EXPECT_LE(progress.done, progress.total);
    EXPECT_EQ(seen.back().done, package.content.body_size);
}

TEST_F(UpdateFlowTest, TheWholeUpdateStopsBeforeSendingWhenItMust)
{
    StartSim();
    const SearchTarget here = SearchTarget::Ports({{"COM3", ports_.link(3)}});
    ExaminedPackage good = flow_->ReadPackageFile(Package("good.qfw").c_str());
    qfwpack::PackageSpec other;
    other.target_hw = 'Q';
    ExaminedPackage wrong = flow_->ReadPackageFile(Package("other.qfw", other).c_str());

    UpdateRequest request;
    request.target = here;
    request.own_version = kOwn;
    request.package = &wrong;
    int found = 0;
    request.found = [&](const FoundDevice&) { ++found; };
    UpdateOutcome outcome = flow_->Run(request);
    EXPECT_EQ(outcome.verdict, UpdateVerdict::rejected);
    EXPECT_EQ(outcome.package_verdict, IDS_PACKAGE_WRONG_HARDWARE);
    EXPECT_EQ(found, 1) << "the device is announced before its package is judged";

    request.package = &good;
    request.may_send = [] { return false; };
    outcome = flow_->Run(request);
    EXPECT_EQ(outcome.verdict, UpdateVerdict::not_begun);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(UploadCommands(), 0);

    request.target = SearchTarget::Ports({{"COM4", ports_.link(4)}});
    outcome = flow_->Run(request);
    EXPECT_EQ(outcome.verdict, UpdateVerdict::no_device);
    EXPECT_EQ(outcome.result, KV_E_DEVICE_NOT_FOUND);
}

TEST(SearchTarget, StartingAtTriesThatPortFirstAndKeepsTheRestInOrder)
{
    const SearchTarget three = SearchTarget::Ports({{"a", "/a"}, {"b", "/b"}, {"c", "/c"}});
    const auto names = [](const SearchTarget& target) {
        std::string text;
        for (const PortToTry& port : target.ports)
            text += port.name;
        return text;
    };
    EXPECT_EQ(names(three.StartingAt("b")), "bca");
    EXPECT_EQ(names(three.StartingAt("z")), "abc");
    EXPECT_TRUE(SearchTarget::ComSearch().StartingAt("COM5").com_search);
}

TEST(PortStateWords, EachStateAndWhoMayOpenARefusedNode)
{
    PortAttempt attempt("/dev/ttyUSB0");
    const auto words = [&](PortState state) {
        attempt.state = state;
        return PortStateWords(attempt);
    };
    EXPECT_EQ(words(PortState::in_use), "in use by another program");
    EXPECT_EQ(words(PortState::silent), "no device answered");
    EXPECT_EQ(words(PortState::absent), "not present");
    EXPECT_EQ(words(PortState::bluetooth), "a Bluetooth serial link; not opened");
    EXPECT_EQ(words(PortState::unusable), "cannot be opened as a serial port");
    EXPECT_EQ(words(PortState::no_permission), "this user may not open it");

    attempt.node = NodeAccess{true, "root", "dialout", 0660};
    EXPECT_EQ(words(PortState::no_permission),
              "this user may not open it (the device belongs to group 'dialout'; add your user to it and log "
              "in again, or install the udev rules that come with this program, 60-korvane-update.rules)");
    attempt.node.mode = 0600;
    EXPECT_EQ(words(PortState::no_permission),
              "this user may not open it (only its owner, 'root', may open it; the udev rules that come with "
              "this program, 60-korvane-update.rules, let the logged-in user open it)");
    attempt.node.mode = 0;
    EXPECT_EQ(words(PortState::no_permission),
              "this user may not open it (its permissions let nobody read and write it)");

    attempt.description = "Korvane";
    attempt.version = FirmwareVersion{2, 5, 'A'};
    attempt.accepted = true;
    EXPECT_EQ(words(PortState::answered), "answered: Korvane, firmware 02.05.A");
    attempt.accepted = false;
    EXPECT_EQ(words(PortState::answered),
              "answered: Korvane, firmware 02.05.A (cannot be updated by this program)");
}

TEST(NotFoundText, OneNamedPortSaysItsReasonAndASearchEachPortInOrder)
{
    FoundDevice search;
    search.attempts = {PortAttempt("COM2", PortState::silent), PortAttempt("COM6", PortState::in_use)};
    EXPECT_EQ(NotFoundText(search),
              "no device found\n  COM2: no device answered\n  COM6: in use by another program");
    search.one_port = true;
    search.attempts.resize(1);
    EXPECT_EQ(NotFoundText(search), "COM2: no device answered");
    EXPECT_EQ(NotFoundText(FoundDevice{}).rfind("no device found: no serial port is present (", 0), 0u);
}

} // namespace
