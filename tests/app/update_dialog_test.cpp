// The dialog's behaviour against the simulated device: each button, the texts, the outcome of an
// upload, the progress bar, and that nothing disturbs a running upload.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/update_dialog.h"
#include "device/result.h"
#include "tests/app/fake_view.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr char kSearching[] = "Searching for HW...";

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kv-app-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("KV_COM_DIR", dir_.c_str(), 1);
        connection_ = std::make_unique<DeviceConnection>();
        dialog_ = std::make_unique<UpdateDialog>(*connection_);
        view_ = std::make_unique<FakeView>(*dialog_);
    }

    void TearDown() override
    {
        view_.reset(); // joins any worker
        dialog_.reset();
        connection_.reset();
        if (sim_)
            sim_->stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void StartSim(kvsim::DeviceConfig config = {})
    {
        sim_ = std::make_unique<kvsim::SimDevice>(config);
        ASSERT_TRUE(sim_->start());
        ASSERT_TRUE(sim_->link_as(dir_ + "/com3"));
    }

    std::string Package(const std::string& name, qfwpack::PackageSpec spec = {})
    {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(qfwpack::WritePackage(path, spec));
        return path;
    }

    // Init and the posted first search, as the dialog's thread would run them.
    void Open()
    {
        dialog_->OnInitDialog(*view_);
        ASSERT_TRUE(view_->pump_until([] { return true; }, 0ms));
    }

    void Browse(const std::optional<std::string>& answer)
    {
        view_->browse_answers.push_back(answer);
        dialog_->OnBrowseButton();
    }

    std::string Text(int id) { return view_->texts[id]; }
    bool Enabled(int id) { return view_->enabled[id]; }

    std::string dir_;
    std::unique_ptr<kvsim::SimDevice> sim_;
    std::unique_ptr<DeviceConnection> connection_;
    std::unique_ptr<UpdateDialog> dialog_;
    std::unique_ptr<FakeView> view_;
};

// --- Start-up and the hardware search ---

TEST_F(DialogTest, InitSetsBuildCaptionCentresAndPostsTheFirstSearch)
{
    dialog_->OnInitDialog(*view_);
    EXPECT_EQ(view_->caption, "Quenbyware Firmware Updater: Build 1.13.0101.00");
    EXPECT_EQ(view_->centred, 1);
    ASSERT_EQ(view_->posted.size(), 1u);
    EXPECT_EQ(view_->posted[0], WM_DETECT_HARDWARE);
    // Posted, not run: the fields still show the template text until the message is handled.
    EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found!");
}

TEST_F(DialogTest, CaptionWithoutAVersionRecordNamesNoBuild)
{
    view_->has_build_string = false;
    dialog_->OnInitDialog(*view_);
    EXPECT_EQ(view_->caption, "Quenbyware Firmware Updater");
}

TEST_F(DialogTest, NoDeviceShowsSearchingThenNotFound)
{
    Open();
    ASSERT_GE(view_->text_history.size(), 4u);
    EXPECT_EQ(view_->text_history[0], std::make_pair(IDC_FW_VERSION, std::string(kSearching)));
    EXPECT_EQ(view_->text_history[1], std::make_pair(IDC_HW_DESCRIPTION, std::string(kSearching)));
    EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found");
    EXPECT_EQ(Text(IDC_HW_DESCRIPTION), "Not Found");
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    EXPECT_TRUE(view_->boxes.empty());
    EXPECT_FALSE(connection_->port.is_open());
}

TEST_F(DialogTest, FoundDeviceShowsVersionAndDescriptionAndKeepsThePortOpen)
{
    StartSim();
    Open();
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
    EXPECT_EQ(Text(IDC_HW_DESCRIPTION), "Korvane v2.20.A");
    EXPECT_EQ(std::string(dialog_->description()), "Korvane v2.20.A");
    EXPECT_TRUE(connection_->port.is_open());
}

TEST_F(DialogTest, DeviceWithoutCapabilitiesOrOfAnotherGenerationIsNotFound)
{
    for (std::uint8_t letter : {std::uint8_t{'d'}, std::uint8_t{'T'}}) {
        kvsim::DeviceConfig config;
        config.hardware_letter = letter;
        StartSim(config);
        dialog_->OnInitDialog(*view_);
        dialog_->OnDetectHardware();
        EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found") << letter;
        EXPECT_EQ(Text(IDC_HW_DESCRIPTION), "Not Found") << letter;
        EXPECT_FALSE(connection_->port.is_open()) << letter;
        sim_->stop();
    }
}

// --- Ports that come and go ---

int VersionRequests(const kvsim::SimDevice& sim)
{
    int n = 0;
    for (const kvsim::Frame& frame : sim.frames())
        n += frame.bytes.size() >= 2 && frame.bytes[0] == 'V' && frame.bytes[1] == 'V';
    return n;
}

// A device plugged in after the start is found once the notification has settled; a notification
// that changes nothing on the line never searches.
TEST_F(DialogTest, ADevicePluggedInLaterIsFoundAfterTheSettle)
{
    Open();
    ASSERT_EQ(Text(IDC_FW_VERSION), "Not Found");
    ASSERT_TRUE(view_->balloon.has_value());
    StartSim();
    dialog_->OnDeviceChange();
    EXPECT_EQ(view_->timers[kSettleTimer], kSettleMs);
    EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found") << "nothing before the settle";
    dialog_->OnDeviceChange(); // a burst of notifications: still one search
    ASSERT_TRUE(view_->fire_timer(kSettleTimer));
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
    EXPECT_FALSE(view_->balloon.has_value()) << "gone once a device is found";
    EXPECT_FALSE(view_->timers.count(kSettleTimer));

    // Another USB device plugged in: the one shown still answers, so no search.
    sim_->clear_frames();
    dialog_->OnDeviceChange();
    ASSERT_TRUE(view_->fire_timer(kSettleTimer));
    EXPECT_EQ(VersionRequests(*sim_), 1);
    EXPECT_TRUE(connection_->port.is_open());
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");

    // The device unplugged: it no longer answers, and the search says it is gone.
    sim_->stop();
    dialog_->OnDeviceChange();
    ASSERT_TRUE(view_->fire_timer(kSettleTimer));
    EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found");
}

// Drivers that send nothing still list their ports: a change of that list counts as a notification.
TEST_F(DialogTest, AChangedPortListIsANotificationAndThePollGoesOn)
{
    view_->port_list = "\\Device\\Serial0=COM1\n";
    Open();
    EXPECT_EQ(view_->timers[kPortListTimer], kPortListPollMs);
    ASSERT_TRUE(view_->fire_timer(kPortListTimer));
    EXPECT_FALSE(view_->timers.count(kSettleTimer)) << "the same list is no change";
    EXPECT_EQ(view_->timers[kPortListTimer], kPortListPollMs);
    StartSim();
    view_->port_list += "\\Device\\VCP0=COM3\n";
    ASSERT_TRUE(view_->fire_timer(kPortListTimer));
    ASSERT_TRUE(view_->fire_timer(kSettleTimer));
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
}

// While a box or the file dialog is open the change waits for it; during an upload it starts
// nothing at all.
TEST_F(DialogTest, ANotificationWaitsForModalWindowsAndIsIgnoredDuringAnUpload)
{
    Open();
    StartSim();
    view_->while_box_open = [this] {
        dialog_->OnDeviceChange();
        EXPECT_TRUE(view_->fire_timer(kSettleTimer));
        EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found") << "no search under an open box";
    };
    Browse(Package("bad.qfw", [] {
        qfwpack::PackageSpec spec;
        spec.magic = {'X', 'X', 'X', 'X'};
        return spec;
    }()));
    ASSERT_TRUE(view_->fire_timer(kSettleTimer)) << "tried again once the box is closed";
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");

    kvsim::DeviceConfig slow;
    slow.final_status_delay_ms = 600;
    sim_->set_config(slow);
    Browse(Package("good.qfw"));
    dialog_->OnUpdateButton();
    ASSERT_TRUE(dialog_->upload_running());
    dialog_->OnDeviceChange();
    EXPECT_FALSE(view_->timers.count(kSettleTimer));
    ASSERT_TRUE(view_->wait_for_outcome());
    EXPECT_EQ(sim_->uploads_completed(), 1);
}

TEST(NotFoundAdvice, SaysWhyInTheSearchOrderWithWhatToDo)
{
    FoundDevice none;
    EXPECT_EQ(
        AdviseNotFound(none).text,
        "No serial port is present. Plug the device in, and check the cable (a charge-only cable carries no "
        "data) and the device's driver.");
    PortAttempt later("COM7", PortState::answered);
    later.description = "Ferrule Pro v2.20.T";
    none.attempts = {PortAttempt("COM3", PortState::silent), PortAttempt("COM5", PortState::silent),
                     PortAttempt("COM6", PortState::in_use), later};
    EXPECT_EQ(
        AdviseNotFound(none).text,
        "COM6 is in use by another program. Close that program, then press Detect.\n"
        "The device on COM7 (Ferrule Pro v2.20.T) cannot be updated by this program.\n"
        "No device answered on COM3, COM5. Check the cable (a charge-only cable carries no data) and the "
        "device's driver, then press Detect.");
    // A refused node whose mode the system told: the udev rules; a refused COM port: only access.
    PortAttempt refused("/dev/ttyUSB0", PortState::no_permission);
    refused.node.known = true;
    none.attempts = {refused, PortAttempt("COM4", PortState::no_permission)};
    EXPECT_EQ(AdviseNotFound(none).text,
              "This user may not open /dev/ttyUSB0. Install the udev rules that come with this program "
              "(60-korvane-update.rules) or ask for access to it, then press Detect.\n"
              "This user may not open COM4. Ask for access to it, then press Detect.");
    none.found = true;
    EXPECT_EQ(AdviseNotFound(none).text, "");
}

TEST_F(DialogTest, DetectRunsTheSearchAtOnce)
{
    Open();
    StartSim();
    dialog_->OnDetectButton();
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
}

TEST_F(DialogTest, NotFoundLeavesPackageAndUpdateButtonAlone)
{
    StartSim();
    Open();
    const std::string good = Package("good.qfw");
    Browse(good);
    ASSERT_TRUE(Enabled(IDC_UPDATE));
    sim_->stop();
    dialog_->OnDetectHardware();
    EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found");
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_EQ(std::string(dialog_->remembered_path()), good);
}

TEST_F(DialogTest, SearchForgetsARememberedPackageTheNewDeviceRejectsWithoutAMessage)
{
    StartSim();
    Open();
    Browse(Package("good.qfw"));
    ASSERT_TRUE(Enabled(IDC_UPDATE));
    sim_->stop();
    kvsim::DeviceConfig other;
    other.eeprom[kvsim::kEepromDeviceId] = 'F';
    StartSim(other);
    dialog_->OnDetectHardware();
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
    EXPECT_EQ(Text(IDC_IMAGE_PATH), "");
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    EXPECT_STREQ(dialog_->remembered_path(), "");
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "2.21.A"); // the details keep their text
    EXPECT_EQ(Text(IDC_PACKAGE_TARGET), "Korvane");
    EXPECT_TRUE(view_->boxes.empty());
}

TEST_F(DialogTest, SearchKeepsARememberedPackageThatStillFits)
{
    StartSim();
    Open();
    const std::string good = Package("good.qfw");
    Browse(good);
    dialog_->OnDetectHardware();
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
}

// --- Browse ---

TEST_F(DialogTest, BrowseAsksWithTitleFilterAndExtension)
{
    Open();
    Browse(std::nullopt);
    ASSERT_EQ(view_->browse_calls.size(), 1u);
    const BrowseCall& call = view_->browse_calls[0];
    EXPECT_EQ(call.title, "Select Firmware Image...");
    EXPECT_EQ(call.filter, (std::vector<std::string>{"Quenby Firmware Image Files (*.qfw)", "*.qfw",
                                                     "All Files (*.*)", "*.*"}));
    EXPECT_EQ(call.default_extension, "qfw");
    // Room for the longest path the system takes (32767 UTF-16 units, up to three UTF-8 bytes each).
    EXPECT_GE(call.capacity, 3u * 32767 + 1);
}

TEST_F(DialogTest, BrowseCancelChangesNothingButForgetsThePackageForTheNextSearch)
{
    StartSim();
    Open();
    const std::string good = Package("good.qfw");
    Browse(good);
    Browse(std::nullopt);
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "2.21.A");
    EXPECT_STREQ(dialog_->remembered_path(), "");
    // The next search has nothing to re-validate, so a device that would reject it changes nothing.
    sim_->stop();
    kvsim::DeviceConfig other;
    other.eeprom[kvsim::kEepromDeviceId] = 'F';
    StartSim(other);
    dialog_->OnDetectHardware();
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
}

TEST_F(DialogTest, BrowseAcceptsAFittingPackage)
{
    StartSim();
    Open();
    qfwpack::PackageSpec spec;
    spec.fw_major = 3;
    spec.fw_minor = 7;
    spec.fw_letter = 'A';
    const std::string good = Package("good.qfw", spec);
    Browse(good);
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "3.7.A");
    EXPECT_EQ(Text(IDC_PACKAGE_TARGET), "Korvane");
    EXPECT_TRUE(view_->boxes.empty());
}

struct Rejection {
    const char* name;
    std::function<void(qfwpack::PackageSpec&)> change;
    const char* text;
};

TEST_F(DialogTest, BrowseRejectionsShowTheStringTableTextAsAWarning)
{
    StartSim();
    Open();
    const std::vector<Rejection> cases = {
        {"checksum", [](qfwpack::PackageSpec& s) { s.bad_checksum = true; },
         KV_TEXT_PACKAGE_CHECKSUM_MISMATCH},
        {"hardware", [](qfwpack::PackageSpec& s) { s.target_hw = 'F'; }, KV_TEXT_PACKAGE_WRONG_HARDWARE},
        {"updater", [](qfwpack::PackageSpec& s) { s.min_updater_build = 102; },
         KV_TEXT_PACKAGE_NEEDS_NEWER_UPDATER},
        {"magic",
         [](qfwpack::PackageSpec& s) {
             s.magic = {'X', 'Q', 'F', 'W'};
         },
         KV_TEXT_PACKAGE_NOT_A_PACKAGE},
        {"deprecated",
         [](qfwpack::PackageSpec& s) {
             s.fw_letter = 'D';
             s.target_hw = 'D';
         },
         KV_TEXT_PACKAGE_DEPRECATED},
    };
    for (const Rejection& c : cases) {
        qfwpack::PackageSpec spec;
        c.change(spec);
        view_->boxes.clear();
        Browse(Package(std::string(c.name) + ".qfw", spec));
        ASSERT_EQ(view_->boxes.size(), 1u) << c.name;
        EXPECT_EQ(view_->boxes[0].text, c.text) << c.name;
        EXPECT_EQ(view_->boxes[0].caption, "Error!") << c.name;
        EXPECT_EQ(view_->boxes[0].icon, MessageIcon::warning) << c.name;
        EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "Unknown") << c.name;
        EXPECT_EQ(Text(IDC_PACKAGE_TARGET), "Unknown") << c.name;
        EXPECT_STREQ(dialog_->remembered_path(), "") << c.name;
    }
    view_->boxes.clear();
    Browse(dir_ + "/missing.qfw");
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, KV_TEXT_PACKAGE_INVALID);
}

TEST_F(DialogTest, BrowseWithoutADeviceCannotReadTheHardwareId)
{
    Open();
    Browse(Package("good.qfw"));
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, KV_TEXT_PACKAGE_NO_HARDWARE_ID);
}

TEST_F(DialogTest, ARejectionAfterAnAcceptanceKeepsTheAcceptedPathAndTheButton)
{
    StartSim();
    Open();
    const std::string a = Package("a.qfw");
    qfwpack::PackageSpec wrong;
    wrong.target_hw = 'F';
    Browse(a);
    Browse(Package("b.qfw", wrong));
    EXPECT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(Text(IDC_IMAGE_PATH), a);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "Unknown");
    // Update! sends what the path field shows: package A.
    dialog_->OnUpdateButton();
    EXPECT_EQ(std::string(dialog_->update_params().package_path), a);
    ASSERT_TRUE(view_->wait_for_outcome());
    EXPECT_EQ(sim_->received_image(), qfwpack::BuildBody(qfwpack::PackageSpec{}));
}

TEST_F(DialogTest, ADisabledUpdateButtonStartsNothing)
{
    StartSim();
    Open();
    // A package the search forgot: the path field still names it, Update! is disabled.
    view_->set_text(IDC_IMAGE_PATH, Package("good.qfw").c_str());
    sim_->clear_frames();
    dialog_->OnUpdateButton();
    EXPECT_EQ(Text(IDC_UPDATE), "Update!");
    EXPECT_TRUE(Enabled(IDC_CANCEL));
    EXPECT_TRUE(view_->boxes.empty());
    EXPECT_TRUE(sim_->frames().empty());
}

TEST(TargetHardwareNameTest, LettersAreCaseSensitiveAndAmpersandsDoubled)
{
    EXPECT_STREQ(TargetHardwareName('F'), "Pike && Wren");
    EXPECT_STREQ(TargetHardwareName('d'), "Cinder II");
    EXPECT_STREQ(TargetHardwareName('D'), "Cinder");
    EXPECT_STREQ(TargetHardwareName('r'), "Unknown");
    EXPECT_STREQ(TargetHardwareName('n'), "TOLV2");
    EXPECT_STREQ(TargetHardwareName(0), "Unknown");
}

// --- Update! and its outcome ---

TEST_F(DialogTest, UpdateSucceedsShowsTheNewVersionAndRestoresTheButtons)
{
    kvsim::DeviceConfig config;
    config.new_major = 2;
    config.new_minor = 21;
    StartSim(config);
    Open();
    qfwpack::PackageSpec spec;
    spec.body_size = 4096;
    Browse(Package("good.qfw", spec));
    dialog_->OnUpdateButton();
    EXPECT_EQ(Text(IDC_UPDATE), "Updating...");
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    EXPECT_FALSE(Enabled(IDC_CANCEL));
    EXPECT_TRUE(Enabled(IDC_DETECT));
    EXPECT_TRUE(Enabled(IDC_BROWSE));
    const FirmwareUpdateParams& params = dialog_->update_params();
    EXPECT_EQ(params.connection, connection_.get());
    EXPECT_EQ(params.notify_window, view_.get());
    EXPECT_EQ(params.completion_message, WM_UPDATE_COMPLETE);
    ASSERT_TRUE(view_->wait_for_outcome());

    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, "Update Successful. New version is 02.21.A");
    EXPECT_EQ(view_->boxes[0].caption, "Success");
    EXPECT_EQ(view_->boxes[0].icon, MessageIcon::information);
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.21.A");
    EXPECT_EQ(Text(IDC_HW_DESCRIPTION), "Korvane v2.21.A");
    EXPECT_EQ(Text(IDC_UPDATE), "Update!");
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_TRUE(Enabled(IDC_CANCEL));
    EXPECT_EQ(sim_->received_image(), qfwpack::BuildBody(spec));
    const auto progress = view_->progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), (ProgressCall{ProgressCall::range, 0, 16}));
    EXPECT_EQ(progress.back(), (ProgressCall{ProgressCall::pos, 16, 0}));
}

// A file rewritten between Browse and Update! (another download under the same name) is never
// sent: the box says so, and the dialog forgets the package until one is chosen again.
TEST_F(DialogTest, APackageReplacedAfterBrowseIsRefusedAndForgotten)
{
    StartSim();
    Open();
    const std::string path = Package("good.qfw");
    Browse(path);
    ASSERT_TRUE(Enabled(IDC_UPDATE));
    qfwpack::PackageSpec other;
    other.target_hw = 'Q';
    Package("good.qfw", other);
    sim_->clear_frames();
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());

    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text,
              "The firmware package has changed since it was checked. Select it again with Browse.");
    EXPECT_EQ(view_->boxes[0].caption, "Error!");
    EXPECT_EQ(view_->boxes[0].icon, MessageIcon::warning);
    EXPECT_EQ(Text(IDC_IMAGE_PATH), "");
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "Unknown");
    EXPECT_EQ(Text(IDC_PACKAGE_TARGET), "Unknown");
    EXPECT_EQ(Text(IDC_UPDATE), "Update!");
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    EXPECT_TRUE(Enabled(IDC_CANCEL));
    for (const kvsim::Frame& frame : sim_->frames())
        EXPECT_NE(frame.bytes.at(0), kvsim::kCmdUpload);

    // Chosen again, it is checked afresh: here it no longer fits the device.
    Browse(path);
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    EXPECT_EQ(view_->boxes.back().text, KV_TEXT_PACKAGE_WRONG_HARDWARE);
}

// The version afterwards is judged against the package that was sent, not the one validated last.
TEST_F(DialogTest, ADeviceThatKeepsItsVersionIsAWarningNamingBothVersions)
{
    StartSim(); // reports 2.20 before and after
    Open();
    Browse(Package("good.qfw"));
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text,
              "Update Successful. New version is 02.20.A\n\nThe device reports 02.20.A, "
              "but the package holds 2.21.A. If the device does not work as expected, "
              "update it again.");
    EXPECT_EQ(view_->boxes[0].caption, "Success");
    EXPECT_EQ(view_->boxes[0].icon, MessageIcon::warning);
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
    EXPECT_TRUE(Enabled(IDC_UPDATE));
}

TEST_F(DialogTest, ProgressOfAThousandByteBody)
{
    StartSim();
    Open();
    qfwpack::PackageSpec spec;
    spec.body_size = 1000;
    Browse(Package("good.qfw", spec));
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());
    const std::vector<ProgressCall> want = {
        {ProgressCall::range, 0, 3}, {ProgressCall::pos, 0, 0}, // the begin call
        {ProgressCall::pos, 1, 0},   {ProgressCall::pos, 2, 0}, {ProgressCall::pos, 3, 0},
        {ProgressCall::pos, 4, 0},   {ProgressCall::pos, 4, 0},
    };
    EXPECT_EQ(view_->progress(), want);
}

TEST_F(DialogTest, ProgressCallbackRules)
{
    Open();
    auto call = [&](std::uint32_t position, std::uint32_t total, std::uint32_t flags) {
        UpdateProgress p;
        p.position = position;
        p.total = total;
        p.flags = flags;
        return dialog_->OnUpdateProgress(&p);
    };
    dialog_->OnUpdateProgress(nullptr);
    call(0, 0, kProgressBegin); // a body under 256 bytes: range 0..0, no position
    call(1, 0, kProgressChunk);
    call(1, 0, kProgressEnd);
    call(0, 0, kProgressStep);
    call(0, 5, kProgressStep);
    call(2, 5, kProgressChunk);
    const std::vector<ProgressCall> want = {
        {ProgressCall::range, 0, 0}, {ProgressCall::step, 0, 0}, {ProgressCall::range, 0, 5},
        {ProgressCall::pos, 0, 0},   {ProgressCall::pos, 2, 0},
    };
    EXPECT_EQ(view_->progress(), want);
}

TEST_F(DialogTest, ABrokenPackageFailsBeforeTheBarMoves)
{
    StartSim();
    Open();
    const std::string path = Package("good.qfw");
    Browse(path);
    qfwpack::PackageSpec broken;
    broken.bad_trailer = true;
    ASSERT_TRUE(qfwpack::WritePackage(path, broken)); // changed after it was chosen
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, "HW Message: Invalid Image File. Firmware update not performed.");
    EXPECT_EQ(view_->boxes[0].caption, "Error!");
    EXPECT_TRUE(view_->progress().empty());
    EXPECT_TRUE(Enabled(IDC_UPDATE));
}

TEST_F(DialogTest, FailingFinalStatusFromTheDevice)
{
    kvsim::DeviceConfig config;
    config.final_status = 'W';
    StartSim(config);
    Open();
    Browse(Package("good.qfw"));
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, "HW Message: Firmware failed during flash process.\n"
                                    "You will need to cold-reboot the hardware and try again.");
    EXPECT_EQ(view_->boxes[0].caption, "Flash failed");
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A"); // no new identification after a failure
    EXPECT_EQ(Text(IDC_UPDATE), "Update!");
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_TRUE(Enabled(IDC_CANCEL));
}

struct Outcome {
    std::int32_t result;
    const char* text;
    const char* caption;
};

TEST_F(DialogTest, OutcomeTable)
{
    Open();
    const Outcome table[] = {
        {KV_E_DEVICE_NOT_FOUND, "HW Message: Device not found. Be sure it is connected and configured.",
         "Approved Device Not Connected"},
        {KV_E_INVALID_RESPONSE, "HW Message: Korvane returned an invalid response.", "Update failed"},
        {KV_E_EXTERNAL_CS_INVALID,
         "HW Message: Firmware image is invalid or corrupt, or upload failed. (Ext. CS).", "Update failed"},
        {KV_E_NVRAM_BUFFERING_FAILED,
         "HW Message: Firmware buffering failed. You may try again. If it fails, contact support.",
         "Update failed"},
        {KV_E_INTERNAL_CS_INVALID, "HW Message: Firmware image is invalid or corrupt. (Int. CS).",
         "Update failed"},
        {KV_E_INVALID_FIRMWARE_IMAGE, "HW Message: Invalid Image File. Firmware update not performed.",
         "Error!"},
        {KV_E_FIRMWARE_FLASH_FAILED,
         "HW Message: Firmware failed during flash process.\nYou will need to cold-reboot the hardware and "
         "try again.",
         "Flash failed"},
        {KV_E_PORT_BUSY, "HW Message: Update Failed with error: 0xFFFFFFEC (KV_E_PORT_BUSY)", "Error!"},
        {KV_E_GENERAL_ERROR, "HW Message: Update Failed with error: 0xFFFFFFFF (KV_E_GENERAL_ERROR)",
         "Error!"},
        {KV_E_REQUEST_NOT_SUPPORTED,
         "HW Message: Update Failed with error: 0xFFFFFFFD (KV_E_REQUEST_NOT_SUPPORTED)", "Error!"},
        {KV_E_INVALID_HARDWARE_ID,
         "HW Message: Update Failed with error: 0xFFFFFFEA (KV_E_INVALID_HARDWARE_ID)", "Error!"},
        {-999, "HW Message: Update Failed with error: 0xFFFFFC19 ((ERROR NOT IN LIST))", "Error!"},
    };
    for (const Outcome& o : table) {
        view_->boxes.clear();
        view_->texts[IDC_UPDATE] = "Updating...";
        view_->enabled[IDC_UPDATE] = false;
        view_->enabled[IDC_CANCEL] = false;
        dialog_->OnUpdateComplete(o.result);
        ASSERT_EQ(view_->boxes.size(), 1u) << o.result;
        EXPECT_EQ(view_->boxes[0].text, o.text) << o.result;
        EXPECT_EQ(view_->boxes[0].caption, o.caption) << o.result;
        EXPECT_EQ(view_->boxes[0].icon, MessageIcon::error) << o.result;
        EXPECT_EQ(Text(IDC_UPDATE), "Update!") << o.result;
        EXPECT_TRUE(Enabled(IDC_UPDATE)) << o.result;
        EXPECT_TRUE(Enabled(IDC_CANCEL)) << o.result;
    }
}

TEST_F(DialogTest, SuccessWithoutADeviceAfterwardsSaysTheVersionIsUnknown)
{
    Open();
    dialog_->OnUpdateComplete(KV_S_OK);
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, "Update Successful. New version is unknown (device not found).");
    EXPECT_LT(view_->boxes[0].text.size(), 75u);
    EXPECT_EQ(view_->boxes[0].caption, "Success");
    EXPECT_EQ(Text(IDC_FW_VERSION), "Not Found");
    EXPECT_EQ(Text(IDC_HW_DESCRIPTION), "Not Found");
}

TEST_F(DialogTest, AWorkerThatCannotStartStillRestoresTheButtons)
{
    StartSim();
    Open();
    Browse(Package("good.qfw"));
    view_->thread_fails = true;
    dialog_->OnUpdateButton();
    EXPECT_FALSE(dialog_->upload_running());
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].caption, "Error!");
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_TRUE(Enabled(IDC_CANCEL));
}

TEST_F(DialogTest, CancelEndsWithZeroAndDestroyClosesThePort)
{
    StartSim();
    Open();
    ASSERT_TRUE(connection_->port.is_open());
    dialog_->OnCancel();
    EXPECT_EQ(view_->ended, 0);
    dialog_->OnDestroy();
    EXPECT_FALSE(connection_->port.is_open());
}

// --- Around an upload: sleep, the end of the session, the battery, the taskbar ---

TEST_F(DialogTest, AwakeAndSessionEndAreHeldFromUpdateToTheHandledOutcomeOnEveryPath)
{
    struct Path {
        const char* name;
        char final_status;
        bool broken_package;
        bool thread_fails;
        const char* caption;
    };
    const Path paths[] = {
        {"success", 'O', false, false, "Success"},
        {"device failure", 'W', false, false, "Flash failed"},
        {"package broken since Browse", 'O', true, false, "Error!"},
        {"worker cannot start", 'O', false, true, "Error!"},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        kvsim::DeviceConfig config;
        config.final_status = path.final_status;
        StartSim(config);
        if (view_->centred == 0)
            Open();
        else
            dialog_->OnDetectButton();
        const std::string package = Package("good.qfw");
        Browse(package);
        if (path.broken_package) {
            qfwpack::PackageSpec broken;
            broken.bad_trailer = true;
            ASSERT_TRUE(qfwpack::WritePackage(package, broken));
        }
        view_->thread_fails = path.thread_fails;
        view_->awake_requests.clear();
        view_->session_end_blocks.clear();
        view_->boxes.clear();
        EXPECT_TRUE(dialog_->OnQueryEndSession());

        bool held_while_box_open = false;
        view_->while_box_open = [&] {
            held_while_box_open =
                view_->awake() && view_->session_end_blocked() && !dialog_->OnQueryEndSession();
        };
        dialog_->OnUpdateButton();
        if (!path.thread_fails) {
            EXPECT_TRUE(view_->awake());
            EXPECT_FALSE(dialog_->OnQueryEndSession());
        }
        ASSERT_TRUE(view_->wait_for_outcome());
        ASSERT_EQ(view_->boxes.size(), 1u);
        EXPECT_EQ(view_->boxes[0].caption, path.caption);
        EXPECT_TRUE(held_while_box_open);
        EXPECT_EQ(view_->awake_requests, (std::vector<bool>{true, false}));
        EXPECT_EQ(view_->session_end_blocks, (std::vector<std::string>{kSessionEndReason, ""}));
        EXPECT_TRUE(dialog_->OnQueryEndSession());
    }
    EXPECT_STREQ(kSessionEndReason,
                 "Firmware update in progress. Do not turn off the computer or unplug the device.");
}

TEST_F(DialogTest, LowBatteryAsksBeforeAnythingIsSentAndOnlyOkGoesOn)
{
    StartSim();
    Open();
    Browse(Package("good.qfw"));
    sim_->clear_frames();
    view_->power = PowerStatus{true, 24};
    dialog_->OnUpdateButton(); // no answer queued: Cancel
    ASSERT_EQ(view_->questions.size(), 1u);
    EXPECT_EQ(view_->questions[0].text, "The computer is running on battery (24 % left). Connect it to power "
                                        "before updating, so the update cannot be cut short.");
    EXPECT_EQ(view_->questions[0].caption, "Update!");
    EXPECT_FALSE(dialog_->upload_running());
    EXPECT_EQ(view_->workers_started, 0);
    EXPECT_TRUE(view_->awake_requests.empty());
    EXPECT_EQ(Text(IDC_UPDATE), "Update!");
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_TRUE(Enabled(IDC_CANCEL));
    EXPECT_TRUE(sim_->accepted_frames().empty());

    view_->question_answers.push_back(true);
    dialog_->OnUpdateButton();
    EXPECT_EQ(view_->questions.size(), 2u);
    EXPECT_EQ(view_->workers_started, 1);
    ASSERT_TRUE(view_->wait_for_outcome());
    EXPECT_EQ(view_->boxes.back().caption, "Success");

    // Nothing is asked on mains, at 25 % or more, or when the charge or the status is unknown.
    const std::optional<PowerStatus> quiet[] = {PowerStatus{false, 5}, PowerStatus{true, 25},
                                                PowerStatus{true, -1}, std::nullopt};
    view_->thread_fails = true; // enough to see that the upload would start
    for (const auto& power : quiet) {
        view_->power = power;
        view_->awake_requests.clear();
        dialog_->OnUpdateButton();
        EXPECT_EQ(view_->questions.size(), 2u);
        EXPECT_EQ(view_->awake_requests, (std::vector<bool>{true, false}));
    }
}

TEST_F(DialogTest, TaskbarFollowsTheBarShowsErrorsAndIsClearedAfterTheBox)
{
    StartSim();
    Open();
    qfwpack::PackageSpec spec;
    spec.body_size = 1000;
    Browse(Package("good.qfw", spec));
    std::vector<std::string> during_box;
    view_->while_box_open = [&] { during_box = view_->taskbar(); };
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());
    // The short last chunk takes the bar one past its total; the button stands full.
    const std::vector<std::string> progress = {"progress 0/3", "progress 1/3", "progress 2/3",
                                               "progress 3/3", "progress 3/3", "progress 3/3"};
    EXPECT_EQ(during_box, progress);
    std::vector<std::string> want = progress;
    want.push_back("clear");
    EXPECT_EQ(view_->taskbar(), want);

    kvsim::DeviceConfig config;
    config.final_status = 'W';
    StartSim(config);
    dialog_->OnDetectButton();
    view_->while_box_open = [&] { during_box = view_->taskbar(); };
    dialog_->OnUpdateButton();
    ASSERT_TRUE(view_->wait_for_outcome());
    const auto events = view_->taskbar();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "error");
    EXPECT_EQ(events.back(), "clear");
    EXPECT_EQ(during_box.back(), "error");
}

TEST_F(DialogTest, ADroppedFileIsTakenAsBrowseWouldTakeIt)
{
    StartSim();
    Open();
    const std::string good = Package("good.qfw");
    dialog_->OnFileDropped(good.c_str());
    EXPECT_TRUE(view_->browse_calls.empty());
    EXPECT_TRUE(view_->boxes.empty());
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "2.21.A");
    EXPECT_EQ(Text(IDC_PACKAGE_TARGET), "Korvane");
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_EQ(dialog_->remembered_path(), good);

    qfwpack::PackageSpec wrong;
    wrong.target_hw = 'F';
    dialog_->OnFileDropped(Package("wrong.qfw", wrong).c_str());
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, KV_TEXT_PACKAGE_WRONG_HARDWARE);
    EXPECT_EQ(view_->boxes[0].caption, "Error!");
    EXPECT_EQ(view_->boxes[0].icon, MessageIcon::warning);
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "Unknown");
    EXPECT_EQ(Text(IDC_IMAGE_PATH), good);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
    EXPECT_STREQ(dialog_->remembered_path(), "");

    // A package deeper than the classic 260 characters is taken whole.
    const std::string deep_folder = std::string(200, 'x') + "/" + std::string(100, 'y');
    std::filesystem::create_directories(dir_ + "/" + deep_folder);
    const std::string deep = Package(deep_folder + "/good.qfw");
    ASSERT_GT(deep.size(), 300u);
    dialog_->OnFileDropped(deep.c_str());
    EXPECT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(Text(IDC_IMAGE_PATH), deep);
    EXPECT_EQ(dialog_->remembered_path(), deep);

    // One longer than any path the system opens is refused with a message, never cut into
    // another file's name; the accepted package stays.
    const std::string too_long = dir_ + "/" + std::string(kPathCapacity, 'x') + ".qfw";
    dialog_->OnFileDropped(too_long.c_str());
    ASSERT_EQ(view_->boxes.size(), 2u);
    EXPECT_EQ(view_->boxes[1].text, kPathTooLongText);
    EXPECT_EQ(Text(IDC_IMAGE_PATH), deep);
    dialog_->OnFileDropped("");
    EXPECT_EQ(view_->boxes.size(), 2u);
    EXPECT_STREQ(dialog_->remembered_path(), "");
}

// --- A running upload is left alone ---

class FlashSafetyTest : public DialogTest {
protected:
    // From the upload command on, the device saw the command, then the chunks of the body, and
    // then nothing but the outcome's new search (which starts with a version request).
    void ExpectOnlyTheUploadUntilItsOutcome(std::size_t body_size)
    {
        const auto frames = sim_->accepted_frames();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0].bytes.at(0), 'f');
        const std::size_t chunks = (body_size + 255) / 256;
        std::size_t received = 0;
        std::size_t i = 1;
        while (i < frames.size() && received < body_size + 1)
            received += frames[i++].bytes.size();
        EXPECT_EQ(received, body_size + 1) << "body and trailer in " << chunks << " chunks";
        if (i < frames.size()) {
            EXPECT_EQ(frames[i].bytes.at(0), 'V');
        }
    }

    // An upload slow enough to act during it: paced bytes and a pause before the final status.
    void StartSlowUpload(qfwpack::PackageSpec spec)
    {
        kvsim::DeviceConfig config;
        config.wire_pacing = true;
        config.final_status_delay_ms = 600;
        config.new_major = 2;
        config.new_minor = 21;
        StartSim(config);
        Open();
        Browse(Package("good.qfw", spec));
        ASSERT_TRUE(Enabled(IDC_UPDATE));
        sim_->clear_frames();
        dialog_->OnUpdateButton();
        // Wait until the first chunk has been acknowledged.
        ASSERT_TRUE(view_->pump_until([&] { return view_->progress().size() >= 2; }, 5s));
    }
};

TEST_F(FlashSafetyTest, DetectDuringAnUploadLeavesThePortAndTheFieldsAlone)
{
    qfwpack::PackageSpec spec;
    spec.body_size = 8192;
    StartSlowUpload(spec);
    const auto history = view_->text_history.size();
    dialog_->OnDetectButton();
    dialog_->OnDetectHardware();
    EXPECT_EQ(view_->text_history.size(), history);
    EXPECT_EQ(Text(IDC_FW_VERSION), "02.20.A");
    EXPECT_TRUE(connection_->port.is_open());
    ASSERT_TRUE(view_->wait_for_outcome());
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, "Update Successful. New version is 02.21.A");
    EXPECT_EQ(sim_->received_image(), qfwpack::BuildBody(spec));
    EXPECT_TRUE(sim_->upload_trailer_ok());
    ExpectOnlyTheUploadUntilItsOutcome(spec.body_size);
}

TEST_F(FlashSafetyTest, BrowseDuringAnUploadJudgesByTheLastEepromInfo)
{
    qfwpack::PackageSpec spec;
    spec.body_size = 8192;
    StartSlowUpload(spec);
    qfwpack::PackageSpec other;
    other.fw_minor = 30;
    const std::string second = Package("second.qfw", other);
    Browse(second);
    EXPECT_TRUE(view_->boxes.empty());
    EXPECT_EQ(Text(IDC_IMAGE_PATH), second);
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "2.30.A");
    EXPECT_FALSE(Enabled(IDC_UPDATE)); // comes back with the outcome, not before
    qfwpack::PackageSpec wrong;
    wrong.target_hw = 'F';
    Browse(Package("wrong.qfw", wrong));
    ASSERT_EQ(view_->boxes.size(), 1u);
    EXPECT_EQ(view_->boxes[0].text, KV_TEXT_PACKAGE_WRONG_HARDWARE);
    ASSERT_TRUE(view_->wait_for_outcome());
    EXPECT_EQ(sim_->received_image(), qfwpack::BuildBody(spec));
    ExpectOnlyTheUploadUntilItsOutcome(spec.body_size);
    EXPECT_TRUE(Enabled(IDC_UPDATE));
}

TEST_F(FlashSafetyTest, CancelAndASecondUpdateAreRefusedWhileUploading)
{
    qfwpack::PackageSpec spec;
    spec.body_size = 4096;
    StartSlowUpload(spec);
    dialog_->OnCancel();
    EXPECT_FALSE(view_->ended.has_value());
    dialog_->OnUpdateButton();
    EXPECT_EQ(view_->workers_started, 1);
    dialog_->OnDestroy();
    EXPECT_TRUE(connection_->port.is_open());
    ASSERT_TRUE(view_->wait_for_outcome());
    EXPECT_EQ(sim_->received_image(), qfwpack::BuildBody(spec));
    dialog_->OnCancel();
    EXPECT_EQ(view_->ended, 0);
}

TEST_F(FlashSafetyTest, ADroppedFileDuringAnUploadIsJudgedLikeBrowse)
{
    qfwpack::PackageSpec spec;
    spec.body_size = 4096;
    StartSlowUpload(spec);
    qfwpack::PackageSpec other;
    other.fw_minor = 30;
    const std::string second = Package("second.qfw", other);
    dialog_->OnFileDropped(second.c_str());
    EXPECT_TRUE(view_->boxes.empty());
    EXPECT_EQ(Text(IDC_IMAGE_PATH), second);
    EXPECT_EQ(Text(IDC_PACKAGE_VERSION), "2.30.A");
    EXPECT_FALSE(Enabled(IDC_UPDATE));
    ASSERT_TRUE(view_->wait_for_outcome());
    EXPECT_EQ(sim_->received_image(), qfwpack::BuildBody(spec));
    ExpectOnlyTheUploadUntilItsOutcome(spec.body_size);
}

} // namespace
