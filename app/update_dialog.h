// The update dialog's behaviour in plain C++: what each button does, which text each control
// shows and what the outcome of an upload says. The platform's dialog procedure only translates
// window messages into calls of UpdateDialog, and a DialogView carries the calls back to the
// window, so the whole behaviour runs in native tests against a fake view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/path_capacity.h"
#include "device/device_connection.h"
#include "package/package.h"
#include "package/upload.h"
#include "resources/resource.h"
#include "update/update_flow.h"

// Private messages of the dialog (the first numbers of the application's private range).
inline constexpr std::uint32_t WM_DETECT_HARDWARE = 0x8000;
inline constexpr std::uint32_t WM_UPDATE_COMPLETE = 0x8001;

inline constexpr std::size_t kDescriptionBufferSize = 260;
inline constexpr char kPathTooLongText[] = "The file's path is longer than any the system can open.";

// What the system reports about its power supply.
struct PowerStatus {
    bool on_battery = false;  // false also when the system does not know
    int battery_percent = -1; // 0 to 100; -1 when unknown
};

struct FirmwareUpdateParams;

// The window side of the dialog. The Win32 implementation maps each call onto one API call.
class DialogView {
public:
    virtual ~DialogView() = default;

    virtual void set_caption(const char* text) = 0;
    virtual void set_text(int control_id, const char* text) = 0;
    // Copies at most capacity - 1 characters and terminates.
    virtual void get_text(int control_id, char* buffer, std::size_t capacity) = 0;
    virtual void enable(int control_id, bool enabled) = 0;
    virtual bool is_enabled(int control_id) = 0;
    virtual void center_on_desktop() = 0;
    // Modal, owned by the dialog, one OK button.
    virtual void message_box(const char* text, const char* caption, MessageIcon icon) = 0;
    // The open-file dialog; the filter is a list of "name\0pattern\0" pairs ended by "\0".
    // True when the user chose a file, which then stands in the buffer.
    virtual bool browse_for_file(char* buffer, std::size_t capacity, const char* title, const char* filter,
                                 const char* default_extension) = 0;
    virtual void post_message(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) = 0;
    // Synchronous: returns once the dialog has handled the message. Callable from any thread.
    virtual void send_message(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) = 0;
    // Runs FirmwareUpdateProc(params) on a new thread that nobody joins. False if none started.
    virtual bool start_worker(FirmwareUpdateParams& params) = 0;
    // Progress bar (control 2777), each a synchronous message; callable from any thread.
    virtual void progress_set_range32(std::uint32_t low, std::uint32_t high) = 0;
    virtual void progress_set_pos(std::uint32_t position) = 0;
    virtual void progress_step() = 0;
    virtual void end_dialog(int result) = 0;
    // The text of a string-table entry, bounded and terminated; 0 characters if there is none.
    virtual int load_string(int id, char* buffer, std::size_t capacity) = 0;
    // The program's own file version; false when its version record cannot be read.
    virtual bool own_version_numbers(FileVersionNumbers* numbers) = 0;
    // The build string of the program's own file version ("1.13.0101.00"); false without one.
    virtual bool build_string(char* buffer, std::size_t capacity) = 0;

    // Modal, owned by the dialog, OK and Cancel; true for OK.
    virtual bool ask_ok_cancel(const char* text, const char* caption, MessageIcon icon) = 0;
    // False when the power status cannot be had.
    virtual bool power_status(PowerStatus* status) = 0;
    // Asks the system to stay awake (true), or gives that request back (false).
    virtual void keep_system_awake(bool awake) = 0;
    // Refuses the end of the session with this reason for the dialog window; null allows it again.
    virtual void block_session_end(const char* reason) = 0;
    // The dialog's taskbar button: progress (callable from any thread), error state, cleared.
    virtual void taskbar_progress(std::uint32_t completed, std::uint32_t total) = 0;
    virtual void taskbar_error() = 0;
    virtual void taskbar_clear() = 0;

    // A one-shot timer of the dialog: UpdateDialog::OnTimer(id) on the dialog's thread after
    // `milliseconds`; setting a running one starts it afresh.
    virtual void set_timer(std::uint32_t id, std::uint32_t milliseconds) = 0;
    virtual void kill_timer(std::uint32_t id) = 0;
    // The serial ports the system lists now, as one text that changes when one comes or goes.
    virtual std::string serial_port_list() = 0;
    // A balloon tip owned by the dialog, pointing at a control; hide_balloon takes it away.
    virtual void show_balloon(int control_id, const char* title, const char* text) = 0;
    virtual void hide_balloon() = 0;
};

// The worker thread's parameter record: filled just before the worker starts, read only by it,
// but for `package_changed`, which the worker sets before it reports the result.
struct FirmwareUpdateParams {
    DeviceConnection* connection = nullptr;
    DialogView* notify_window = nullptr;
    std::uint32_t completion_message = WM_UPDATE_COMPLETE;
    ProgressCallback progress_callback;
    char package_path[kPathCapacity] = {};

    UpdateFlow* flow = nullptr;
    // The package as validation passed it: the upload sends the file only if it still holds
    // these bytes, and the version afterwards is judged against this header.
    Sha256Digest examined_sha256{};
    PackageHeader examined_header{};
    bool package_changed = false;
};

// The worker: uploads, logs, reports the result synchronously to the dialog; returns 1.
std::uint32_t FirmwareUpdateProc(FirmwareUpdateParams& params);

inline constexpr char kBrowseTitle[] = "Select Firmware Image...";
inline constexpr char kBrowseFilter[] = "Quenby Firmware Image Files (*.qfw)\0*.qfw\0All Files (*.*)\0*.*\0";
inline constexpr char kBrowseDefaultExtension[] = "qfw";

inline constexpr char kSessionEndReason[] =
    "Firmware update in progress. Do not turn off the computer or unplug the device.";
// Below this charge on battery, Update! asks before anything is sent.
inline constexpr int kLowBatteryPercent = 25;

// A port that comes or goes is looked at once the system has settled; the list of ports is
// polled too, for drivers that send no notification.
inline constexpr std::uint32_t kSettleTimer = 1;
inline constexpr std::uint32_t kPortListTimer = 2;
inline constexpr std::uint32_t kSettleMs = 1000;
inline constexpr std::uint32_t kPortListPollMs = 2000;

// The process-wide state of the dialog and its behaviour, message by message.
class UpdateDialog {
public:
    // `adapters` (not owned; may be null) says why a search found nothing.
    explicit UpdateDialog(DeviceConnection& connection, const AdapterInventory* adapters = nullptr)
        : connection_(connection), flow_(connection, adapters)
    {
    }
    UpdateDialog(const UpdateDialog&) = delete;
    UpdateDialog& operator=(const UpdateDialog&) = delete;

    // WM_INITDIALOG: the view now stands for the dialog window.
    void OnInitDialog(DialogView& view);
    void OnDetectHardware();                    // WM_DETECT_HARDWARE
    void OnDetectButton();                      // 1004
    void OnBrowseButton();                      // 2746
    void OnUpdateButton();                      // 1 (IDOK)
    void OnCancel();                            // 2 (IDCANCEL): also Escape, Alt+F4 and the title bar's close
    void OnUpdateComplete(std::int32_t result); // WM_UPDATE_COMPLETE, on the dialog's thread
    void OnDestroy();                           // WM_DESTROY
    // WM_QUERYENDSESSION: true when the session may end (no upload running).
    bool OnQueryEndSession() const { return !upload_running_; }
    // A file dropped on the dialog: taken as if Browse had returned it.
    void OnFileDropped(const char* path);
    // The upload's progress callback; runs on the worker thread.
    std::int32_t OnUpdateProgress(const UpdateProgress* progress);
    // A port or device interface came or went (WM_DEVICECHANGE), or the port list changed.
    void OnDeviceChange();
    void OnTimer(std::uint32_t id);

    // True from the start of an upload until its outcome has been handled: closing is refused
    // and nothing may touch the port.
    bool upload_running() const { return upload_running_; }

    const char* remembered_path() const { return remembered_path_; }
    const char* description() const { return description_; }
    const FirmwareUpdateParams& update_params() const { return params_; }

private:
    ExaminedPackage Examine(const char* path);
    void TakeChosenFile();
    void ForgetPackage();
    bool BatteryAllowsUpdate();
    void ShowDevice(const FirmwareVersion& version);
    void ShowNotFound();
    void ShowWhyNotFound(const FoundDevice& search);
    void RecheckAfterChange();
    // The dialog's own modal windows (a message box, the file dialog, the battery question): while
    // one is open, a change of ports waits.
    void ShowBox(const char* text, const char* caption, MessageIcon icon);

    DeviceConnection& connection_;
    UpdateFlow flow_;
    // The package whose path control 2745 shows: what Update! sends, as it was checked.
    ExaminedPackage accepted_;
    DialogView* main_window_ = nullptr;
    char remembered_path_[kPathCapacity] = {};
    char description_[kDescriptionBufferSize] = {};
    FirmwareUpdateParams params_;
    bool upload_running_ = false;
    bool asking_ = false; // the low-battery question is open
    int modal_depth_ = 0;
    bool device_shown_ = false;
    bool balloon_shown_ = false;
    std::string port_list_;
};
