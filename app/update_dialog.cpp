#include "app/update_dialog.h"

#include <cstdio>
#include <cstring>

#include "device/bounded_text.h"
#include "device/result.h"
#include "log/log.h"

namespace {

constexpr char kSearching[] = "Searching for HW...";
constexpr char kNotFound[] = "Not Found";
constexpr char kUnknown[] = "Unknown";
constexpr char kUpdateText[] = "Update!";
constexpr char kUpdatingText[] = "Updating...";

constexpr std::size_t kStringTableTextSize = 100;
constexpr std::size_t kCaptionSize = 100;
constexpr std::size_t kBuildStringSize = 100;

struct TargetName {
    std::uint8_t letter;
    const char* name;
};

constexpr TargetName kTargetNames[] = {
    {'A', "Korvane"}, {'C', "Bramble"},   {'D', "Cinder"},    {'F', "Pike && Wren"}, {'L', "Meridian"},
    {'N', "TOLV"},    {'O', "Larkin"},    {'P', "Larkin II"}, {'Q', "Wayfarer"},     {'R', "Skyway"},
    {'X', "J7"},      {'d', "Cinder II"}, {'n', "TOLV2"},
};

} // namespace

void FormatFirmwareVersion(char (&text)[kVersionTextSize], const FirmwareVersion& version)
{
    std::snprintf(text, sizeof text, "%.2i.%.2i.%c", version.firmware_major, version.firmware_minor,
                  static_cast<char>(version.hardware_letter));
}

void FormatPackageVersion(char (&text)[kPackageVersionSize], const PackageHeader& header)
{
    std::snprintf(text, sizeof text, "%i.%i.%c", header.fw_major, header.fw_minor,
                  static_cast<char>(header.fw_letter));
}

const char* TargetHardwareName(std::uint8_t letter)
{
    for (const TargetName& entry : kTargetNames) {
        if (entry.letter == letter)
            return entry.name;
    }
    return kUnknown;
}

OutcomeMessage FailureOutcome(std::int32_t result)
{
    OutcomeMessage message{};
    message.caption = "Update failed";
    message.icon = MessageIcon::error;
    const char* text = nullptr;
    switch (result) {
    case KV_E_DEVICE_NOT_FOUND:
        text = "HW Message: Device not found. Be sure it is connected and configured.";
        message.caption = "Approved Device Not Connected";
        break;
    case KV_E_INVALID_RESPONSE: text = "HW Message: Korvane returned an invalid response."; break;
    case KV_E_EXTERNAL_CS_INVALID:
        text = "HW Message: Firmware image is invalid or corrupt, or upload failed. (Ext. CS).";
        break;
    case KV_E_NVRAM_BUFFERING_FAILED:
        text = "HW Message: Firmware buffering failed. You may try again. If it fails, contact support.";
        break;
    case KV_E_INTERNAL_CS_INVALID:
        text = "HW Message: Firmware image is invalid or corrupt. (Int. CS).";
        break;
    case KV_E_INVALID_FIRMWARE_IMAGE:
        text = "HW Message: Invalid Image File. Firmware update not performed.";
        message.caption = "Error!";
        break;
    case KV_E_FIRMWARE_FLASH_FAILED:
        text = "HW Message: Firmware failed during flash process.\n"
               "You will need to cold-reboot the hardware and try again.";
        message.caption = "Flash failed";
        break;
    default:
        std::snprintf(message.text, sizeof message.text, "HW Message: Update Failed with error: 0x%.8X (%s)",
                      static_cast<unsigned>(static_cast<std::uint32_t>(result)), result_name(result));
        message.caption = "Error!";
        return message;
    }
    CopyText(message.text, sizeof message.text, text);
    return message;
}

OutcomeMessage SuccessOutcome(const FirmwareVersion* new_version)
{
    OutcomeMessage message{};
    message.caption = "Success";
    message.icon = MessageIcon::information;
    char text[kSuccessTextSize];
    if (new_version != nullptr) {
        char version_text[kVersionTextSize];
        FormatFirmwareVersion(version_text, *new_version);
        std::snprintf(text, sizeof text, "Update Successful. New version is %s", version_text);
    } else {
        // The image went in, but the device did not answer afterwards: say so rather than
        // name a version nobody reported.
        CopyText(text, sizeof text, "Update Successful. New version is unknown (device not found).");
    }
    CopyText(message.text, sizeof message.text, text);
    return message;
}

std::uint32_t FirmwareUpdateProc(FirmwareUpdateParams& params)
{
    const std::int32_t result =
        UploadFirmware(*params.connection, params.package_path, params.progress_callback);
    log_line(params.connection->log_sink, "FirmwareUpdateProc completed with result: %i", result);
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
    view.post_message(WM_DETECT_HARDWARE, 0, 0);
}

int UpdateDialog::Validate(const char* path)
{
    FileVersionNumbers own;
    if (!main_window_->own_version_numbers(&own))
        own = FileVersionNumbers{};
    if (upload_running_) {
        // The upload owns the port: judge the package by what the device last told us.
        return ValidateFirmwarePackage(
            path,
            [this](EEPROMInfo* info) {
                if (!connection_.last_eeprom_info_valid)
                    return KV_E_PORT_BUSY;
                *info = connection_.last_eeprom_info;
                return KV_S_OK;
            },
            own);
    }
    return ValidateFirmwarePackage(
        path, [this](EEPROMInfo* info) { return connection_.GetEEPROMInfo(info); }, own);
}

void UpdateDialog::ShowDevice(const FirmwareVersion& version)
{
    char text[kVersionTextSize];
    FormatFirmwareVersion(text, version);
    main_window_->set_text(IDC_FW_VERSION, text);
    main_window_->set_text(IDC_HW_DESCRIPTION, description_);
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
    view.set_text(IDC_FW_VERSION, kSearching);
    view.set_text(IDC_HW_DESCRIPTION, kSearching);

    FirmwareVersion version;
    const bool found = connection_.SearchForHardware(description_, kDescriptionBufferSize, &version);
    const HardwareInfo* info = connection_.GetHardwareInfo();
    if (found && info != nullptr && info->capabilities != 0 && info->protocol_generation == 1) {
        ShowDevice(version);
        if (remembered_path_[0] != '\0' && Validate(remembered_path_) != 0) {
            remembered_path_[0] = '\0';
            view.set_text(IDC_IMAGE_PATH, "");
            view.enable(IDC_UPDATE, false);
        }
        return;
    }
    connection_.ClosePort();
    view.set_text(IDC_FW_VERSION, kNotFound);
    view.set_text(IDC_HW_DESCRIPTION, kNotFound);
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
    if (!main_window_->browse_for_file(remembered_path_, sizeof remembered_path_, kBrowseTitle, kBrowseFilter,
                                       kBrowseDefaultExtension)) {
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
    // The open-file dialog cannot return a path that does not fit its buffer either; cutting it
    // would name another file.
    if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof remembered_path_)
        return;
    CopyText(remembered_path_, sizeof remembered_path_, path);
    TakeChosenFile();
}

void UpdateDialog::TakeChosenFile()
{
    DialogView& view = *main_window_;
    const int verdict = Validate(remembered_path_);
    if (verdict != 0) {
        remembered_path_[0] = '\0';
        char text[kStringTableTextSize] = {};
        if (view.load_string(verdict, text, sizeof text) <= 0)
            std::snprintf(text, sizeof text, "Firmware package rejected (%i).", verdict);
        view.message_box(text, "Error!", MessageIcon::warning);
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
    FormatPackageVersion(version, current_package_header);
    view.set_text(IDC_PACKAGE_VERSION, version);
    view.set_text(IDC_PACKAGE_TARGET, TargetHardwareName(current_package_header.target_hw));
}

void UpdateDialog::OnUpdateButton()
{
    // Under Wine a click reaches a disabled button too: only an enabled Update! (a package that
    // passed its checks, no upload running) starts one.
    if (main_window_ == nullptr || upload_running_ || asking_ || !main_window_->is_enabled(IDC_UPDATE))
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
    const bool go_on = main_window_->ask_ok_cancel(text, "Update!", MessageIcon::warning);
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
    OutcomeMessage message{};
    if (result == KV_S_OK) {
        description_[0] = '\0';
        FirmwareVersion version;
        if (connection_.SearchForHardware(nullptr, 0, &version)) {
            const HardwareInfo* info = connection_.GetHardwareInfo();
            CopyText(description_, sizeof description_, info != nullptr ? info->description : "");
            ShowDevice(version);
            message = SuccessOutcome(&version);
        } else {
            connection_.ClosePort();
            view.set_text(IDC_FW_VERSION, kNotFound);
            view.set_text(IDC_HW_DESCRIPTION, kNotFound);
            message = SuccessOutcome(nullptr);
        }
    } else {
        message = FailureOutcome(result);
        view.taskbar_error();
    }
    view.message_box(message.text, message.caption, message.icon);
    view.taskbar_clear();
    view.set_text(IDC_UPDATE, kUpdateText);
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
        connection_.ClosePort();
}
