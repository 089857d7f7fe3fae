#include "app/update_dialog.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "device/bounded_text.h"
#include "device/result.h"
#include "log/log.h"

namespace {

constexpr char kSearching[] = "Searching for HW...";
constexpr char kNotFound[] = "Not Found";
constexpr char kUnknown[] = "Unknown";
constexpr char kUpdateText[] = "Update!";
constexpr char kUpdatingText[] = "Updating...";

// Room for the longest validation message (the signature's, some 130 characters) without cutting it.
constexpr std::size_t kStringTableTextSize = 256;
constexpr std::size_t kCaptionSize = 100;
constexpr std::size_t kBuildStringSize = 100;

} // namespace

std::uint32_t FirmwareUpdateProc(FirmwareUpdateParams& params)
{
    params.package_changed = false;
    const std::int32_t result = params.flow->SendFile(params.package_path, params.examined_sha256,
                                                      params.progress_callback, &params.package_changed);
    params.notify_window->send_message(params.completion_message, 0, static_cast<std::intptr_t>(result));
    return 1;
}

void UpdateDialog::OnInitDialog(DialogView& view)
{
    main_window_ = &view;
    view.center_on_desktop();
    char build[kBuildStringSize] = {};
    char caption[kCaptionSize] = {};
    if (view.build_string(build, sizeof build))
        // A build string too long for the caption buffer is cut, as every text here is.
        [[maybe_unused]]
        const int length =
            std::snprintf(caption, sizeof caption, "Quenbyware Firmware Updater: Build %s", build);
    else
        CopyText(caption, sizeof caption, "Quenbyware Firmware Updater");
    view.set_caption(caption);
    port_list_ = view.serial_port_list();
    view.set_timer(kPortListTimer, kPortListPollMs);
    view.post_message(WM_DETECT_HARDWARE, 0, 0);
}

void UpdateDialog::ShowBox(const char* text, const char* caption, MessageIcon icon)
{
    ++modal_depth_;
    main_window_->message_box(text, caption, icon);
    --modal_depth_;
}

void UpdateDialog::OnDeviceChange()
{
    // During an upload a change starts nothing: the port is the upload's, and the fields show the
    // device being updated.
    if (main_window_ == nullptr || upload_running_)
        return;
    main_window_->set_timer(kSettleTimer, kSettleMs);
}

void UpdateDialog::OnTimer(std::uint32_t id)
{
    if (main_window_ == nullptr)
        return;
    if (id == kPortListTimer) {
        std::string now = main_window_->serial_port_list();
        if (now != port_list_) {
            port_list_ = std::move(now);
            OnDeviceChange();
        }
        main_window_->set_timer(kPortListTimer, kPortListPollMs);
        return;
    }
    if (id != kSettleTimer || upload_running_)
        return;
    // A search under an open message box or file dialog would change the dialog behind the
    // user's back; it waits until they are closed.
    if (modal_depth_ > 0) {
        main_window_->set_timer(kSettleTimer, kSettleMs);
        return;
    }
    RecheckAfterChange();
}

void UpdateDialog::RecheckAfterChange()
{
    if (device_shown_) {
        // Someone plugged in another USB device, or this one went: only a device that no longer
        // answers is searched for again.
        if (flow_.StillAnswers())
            return;
    }
    OnDetectHardware();
}

ExaminedPackage UpdateDialog::Examine(const char* path)
{
    FileVersionNumbers own;
    if (!main_window_->own_version_numbers(&own))
        own = FileVersionNumbers{};
    // During an upload the port is the upload's: the package is judged by what the device last
    // told us.
    return flow_.Examine(path, flow_.DeviceEepromReader(upload_running_), own);
}

void UpdateDialog::ShowDevice(const FirmwareVersion& version)
{
    main_window_->set_text(IDC_FW_VERSION, VersionText(version).c_str());
    main_window_->set_text(IDC_HW_DESCRIPTION, description_);
    device_shown_ = true;
    if (balloon_shown_) {
        main_window_->hide_balloon();
        balloon_shown_ = false;
    }
}

void UpdateDialog::OnDetectHardware()
{
    if (main_window_ == nullptr)
        return;
    // A search closes and reopens ports; during an upload it would cut the transfer. The fields
    // keep what they show, which is still the device being updated.
    if (upload_running_)
        return;
    DialogView& view = *main_window_;
    if (balloon_shown_) {
        view.hide_balloon();
        balloon_shown_ = false;
    }
    device_shown_ = false;
    view.set_text(IDC_FW_VERSION, kSearching);
    view.set_text(IDC_HW_DESCRIPTION, kSearching);

    const FoundDevice device = flow_.Find(SearchTarget::ComSearch());
    if (!device.found) {
        ShowNotFound();
        ShowWhyNotFound(device);
        return;
    }
    CopyText(description_, sizeof description_, device.description.c_str());
    ShowDevice(device.version);
    if (remembered_path_[0] == '\0')
        return;
    // The attached hardware may have changed, and so may the file: a fresh check of both.
    ExaminedPackage again = Examine(remembered_path_);
    if (!again.accepted()) {
        remembered_path_[0] = '\0';
        accepted_ = ExaminedPackage{};
        view.set_text(IDC_IMAGE_PATH, "");
        view.enable(IDC_UPDATE, false);
        return;
    }
    accepted_ = std::move(again);
}

void UpdateDialog::ShowNotFound()
{
    device_shown_ = false;
    main_window_->set_text(IDC_FW_VERSION, kNotFound);
    main_window_->set_text(IDC_HW_DESCRIPTION, kNotFound);
}

void UpdateDialog::ShowWhyNotFound(const FoundDevice& search)
{
    const NotFoundAdvice advice = AdviseNotFound(search);
    if (advice.text.empty())
        return;
    main_window_->show_balloon(IDC_HW_DESCRIPTION, advice.title, advice.text.c_str());
    balloon_shown_ = true;
}

void UpdateDialog::OnDetectButton()
{
    if (main_window_ != nullptr)
        main_window_->send_message(WM_DETECT_HARDWARE, 0, 0);
}

void UpdateDialog::OnBrowseButton()
{
    if (main_window_ == nullptr)
        return;
    remembered_path_[0] = '\0';
    ++modal_depth_;
    const bool chosen = main_window_->browse_for_file(remembered_path_, sizeof remembered_path_, kBrowseTitle,
                                                      kBrowseFilter, kBrowseDefaultExtension);
    --modal_depth_;
    if (!chosen) {
        remembered_path_[0] = '\0';
        return;
    }
    remembered_path_[sizeof remembered_path_ - 1] = '\0';
    TakeChosenFile();
}

void UpdateDialog::OnFileDropped(const char* path)
{
    if (main_window_ == nullptr)
        return;
    remembered_path_[0] = '\0';
    if (path == nullptr || path[0] == '\0')
        return;
    // Cutting it would name another file.
    if (std::strlen(path) >= sizeof remembered_path_) {
        ShowBox(kPathTooLongText, "Error!", MessageIcon::warning);
        return;
    }
    CopyText(remembered_path_, sizeof remembered_path_, path);
    TakeChosenFile();
}

void UpdateDialog::TakeChosenFile()
{
    DialogView& view = *main_window_;
    ExaminedPackage examined = Examine(remembered_path_);
    const int verdict = examined.verdict;
    if (verdict != 0) {
        remembered_path_[0] = '\0';
        char text[kStringTableTextSize] = {};
        if (view.load_string(verdict, text, sizeof text) <= 0)
            std::snprintf(text, sizeof text, "Firmware package rejected (%i).", verdict);
        ShowBox(text, "Error!", MessageIcon::warning);
        view.set_text(IDC_PACKAGE_TARGET, kUnknown);
        view.set_text(IDC_PACKAGE_VERSION, kUnknown);
        return;
    }

    view.set_text(IDC_IMAGE_PATH, remembered_path_);
    // During an upload the button comes back when the outcome has been shown; enabling it now
    // would allow a second upload over the running one.
    if (!upload_running_)
        view.enable(IDC_UPDATE, true);
    char version[kPackageVersionSize];
    FormatPackageVersion(version, examined.content.header);
    view.set_text(IDC_PACKAGE_VERSION, version);
    view.set_text(IDC_PACKAGE_TARGET, TargetHardwareName(examined.content.header.target_hw));
    accepted_ = std::move(examined);
}

void UpdateDialog::ForgetPackage()
{
    DialogView& view = *main_window_;
    remembered_path_[0] = '\0';
    accepted_ = ExaminedPackage{};
    view.set_text(IDC_IMAGE_PATH, "");
    view.set_text(IDC_PACKAGE_VERSION, kUnknown);
    view.set_text(IDC_PACKAGE_TARGET, kUnknown);
    view.enable(IDC_UPDATE, false);
}

void UpdateDialog::OnUpdateButton()
{
    // Under Wine a click reaches a disabled button too: only an enabled Update! (a package that
    // passed its checks, no upload running) starts one.
    if (main_window_ == nullptr || upload_running_ || asking_ || !main_window_->is_enabled(IDC_UPDATE) ||
        !accepted_.accepted())
        return;
    if (!BatteryAllowsUpdate())
        return;
    DialogView& view = *main_window_;
    view.set_text(IDC_UPDATE, kUpdatingText);
    view.enable(IDC_UPDATE, false);
    view.enable(IDC_CANCEL, false);

    params_.connection = &connection_;
    params_.notify_window = &view;
    params_.completion_message = WM_UPDATE_COMPLETE;
    params_.progress_callback = [this](const UpdateProgress* progress) { return OnUpdateProgress(progress); };
    view.get_text(IDC_IMAGE_PATH, params_.package_path, sizeof params_.package_path);
    params_.package_path[sizeof params_.package_path - 1] = '\0';
    params_.flow = &flow_;
    params_.examined_sha256 = accepted_.sha256;
    params_.examined_header = accepted_.content.header;
    params_.package_changed = false;

    upload_running_ = true;
    view.keep_system_awake(true);
    view.block_session_end(kSessionEndReason);
    if (!view.start_worker(params_)) {
        // No thread, no upload: report it like any other failure so the buttons come back.
        OnUpdateComplete(KV_E_GENERAL_ERROR);
    }
}

bool UpdateDialog::BatteryAllowsUpdate()
{
    PowerStatus power;
    if (!main_window_->power_status(&power) || !power.on_battery || power.battery_percent < 0 ||
        power.battery_percent >= kLowBatteryPercent)
        return true;
    char text[200];
    std::snprintf(text, sizeof text,
                  "The computer is running on battery (%i %% left). Connect it to power before updating, so "
                  "the update cannot be cut short.",
                  power.battery_percent);
    asking_ = true;
    ++modal_depth_;
    const bool go_on = main_window_->ask_ok_cancel(text, "Update!", MessageIcon::warning);
    --modal_depth_;
    asking_ = false;
    // The question is modal, but the button may have changed meanwhile (a search that forgot the
    // package): only a still enabled Update! goes on.
    return go_on && !upload_running_ && main_window_->is_enabled(IDC_UPDATE);
}

std::int32_t UpdateDialog::OnUpdateProgress(const UpdateProgress* progress)
{
    if (progress == nullptr || main_window_ == nullptr)
        return 0;
    DialogView& view = *main_window_;
    if ((progress->position == 0 && progress->total != 0) || (progress->flags & kProgressBegin) != 0)
        view.progress_set_range32(0, progress->total);
    if ((progress->flags & kProgressStep) != 0 && progress->position == 0 && progress->total == 0) {
        view.progress_step();
        return 0;
    }
    if (progress->total != 0) {
        view.progress_set_pos(progress->position);
        // The short last chunk can take the position one past the total; the bar stands full.
        view.taskbar_progress(progress->position < progress->total ? progress->position : progress->total,
                              progress->total);
    }
    return 0;
}

void UpdateDialog::OnUpdateComplete(std::int32_t result)
{
    if (main_window_ == nullptr)
        return;
    DialogView& view = *main_window_;
    UpdateOutcome outcome;
    if (params_.package_changed) {
        outcome = UpdateFlow::PackageChanged();
    } else {
        if (result == KV_S_OK)
            description_[0] = '\0';
        outcome = flow_.Conclude(result, params_.examined_header, SearchTarget::ComSearch(), std::string());
    }
    if (outcome.device.found) {
        CopyText(description_, sizeof description_, outcome.device.description.c_str());
        ShowDevice(outcome.device.version);
    } else if (outcome.updated()) {
        ShowNotFound();
    }
    if (!outcome.updated())
        view.taskbar_error();
    ShowBox(outcome.message.text, outcome.message.caption, outcome.message.icon);
    view.taskbar_clear();
    view.set_text(IDC_UPDATE, kUpdateText);
    // Update! stays off until a package is chosen again, unless another one was chosen meanwhile.
    const bool still_chosen =
        accepted_.path == params_.package_path && accepted_.sha256 == params_.examined_sha256;
    if (outcome.verdict == UpdateVerdict::package_changed && still_chosen)
        ForgetPackage();
    else
        view.enable(IDC_UPDATE, true);
    view.enable(IDC_CANCEL, true);
    upload_running_ = false;
    view.block_session_end(nullptr);
    view.keep_system_awake(false);
}

void UpdateDialog::OnCancel()
{
    if (main_window_ == nullptr || upload_running_)
        return;
    main_window_->end_dialog(0);
}

void UpdateDialog::OnDestroy()
{
    // A window torn down by the system during an upload must not cut the transfer.
    if (!upload_running_)
        flow_.Close();
}
