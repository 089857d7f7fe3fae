#include "app/dialog_win32.h"

#include <commctrl.h>
#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/log_window_win32.h"
#include "app/win32_helpers.h"
#include "log/file_path_win32.h"
#include "serial/port_list.h"

namespace {

constexpr char kUnusablePathText[] =
    "The file's path cannot be used: it is longer than any the system opens, or its name holds "
    "characters that are not valid Unicode.";

UpdateDialog* g_dialog = nullptr;
Win32DialogView g_view;

// The taskbar's interface may only be used on the dialog's thread: the worker's progress comes
// over with this message, sent like the progress bar's.
constexpr UINT kTaskbarProgressMessage = WM_APP + 0x10;
// Posted on a change of scale, so that the balloon is placed after the dialog has scaled itself.
constexpr UINT kPlaceBalloonMessage = WM_APP + 0x11;
// The widest a balloon's text runs at 100 %.
constexpr int kBalloonWidth = 320;
UINT g_taskbar_button_created = 0;
LogWindow* g_log_window = nullptr;
Win32LogWindowView* g_log_view = nullptr;

void AddLogMenuItem(HWND dialog)
{
    HMENU menu = GetSystemMenu(dialog, FALSE);
    if (menu == nullptr)
        return;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, kDiagnosticLogCommand, kDiagnosticLogMenuText);
}

// Serial ports as a device interface class: their arrival and removal come to the dialog.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
HDEVNOTIFY g_port_notifications = nullptr;

void RegisterForPortNotifications(HWND dialog)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    g_port_notifications = RegisterDeviceNotificationA(dialog, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// Arrivals and removals of ports and port interfaces, and the bare "something changed" that some
// drivers send alone.
bool IsPortChange(WPARAM event, LPARAM data)
{
    if (event == DBT_DEVNODES_CHANGED)
        return true;
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE)
        return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    return header != nullptr && (header->dbch_devicetype == DBT_DEVTYP_PORT ||
                                 header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE);
}

DWORD WINAPI WorkerThread(LPVOID parameter)
{
    return FirmwareUpdateProc(*static_cast<FirmwareUpdateParams*>(parameter));
}

} // namespace

void Win32DialogView::attach(HWND dialog)
{
    dialog_ = dialog;
    dpi_ = WindowDpi(dialog);
}

void Win32DialogView::set_caption(const char* text) { SetWindowTextA(dialog_, text); }

void Win32DialogView::set_text(int control_id, const char* text)
{
    // The path is shown as chosen, in whatever script: its control holds wide text.
    if (control_id == IDC_IMAGE_PATH)
        SetWindowTextUtf8(GetDlgItem(dialog_, control_id), text);
    else
        SetDlgItemTextA(dialog_, control_id, text);
}

void Win32DialogView::get_text(int control_id, char* buffer, std::size_t capacity)
{
    if (capacity == 0)
        return;
    buffer[0] = '\0';
    if (control_id == IDC_IMAGE_PATH) {
        // A path that does not fit is given as none: a cut one would name another file.
        std::string path;
        if (WindowTextUtf8(GetDlgItem(dialog_, control_id), &path) && path.size() < capacity)
            std::memcpy(buffer, path.c_str(), path.size() + 1);
        return;
    }
    const UINT n = GetDlgItemTextA(dialog_, control_id, buffer, static_cast<int>(capacity));
    buffer[n < capacity ? n : capacity - 1] = '\0';
}

void Win32DialogView::enable(int control_id, bool enabled)
{
    EnableWindow(GetDlgItem(dialog_, control_id), enabled ? TRUE : FALSE);
}

bool Win32DialogView::is_enabled(int control_id)
{
    return IsWindowEnabled(GetDlgItem(dialog_, control_id)) != FALSE;
}

void Win32DialogView::center_on_desktop() { CenterWindow(dialog_, nullptr); }

void Win32DialogView::message_box(const char* text, const char* caption, MessageIcon icon)
{
    MessageBoxA(dialog_, text, caption, MB_OK | MessageBoxIconFlag(icon));
}

bool Win32DialogView::browse_for_file(char* buffer, std::size_t capacity, const char* title,
                                      const char* filter, const char* default_extension)
{
    if (capacity == 0)
        return false;
    buffer[0] = '\0';
    std::string path;
    switch (BrowseForFile(dialog_, &path, capacity, title, filter, default_extension)) {
    case FileChoice::chosen: std::memcpy(buffer, path.c_str(), path.size() + 1); return true;
    case FileChoice::unusable:
        MessageBoxA(dialog_, kUnusablePathText, "Error!", MB_OK | MB_ICONWARNING);
        break;
    case FileChoice::cancelled: break;
    }
    return false;
}

void Win32DialogView::post_message(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam)
{
    PostMessageA(dialog_, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam));
}

void Win32DialogView::send_message(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam)
{
    SendMessageA(dialog_, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam));
}

bool Win32DialogView::start_worker(FirmwareUpdateParams& params)
{
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WorkerThread, &params, 0, &id);
    if (thread == nullptr)
        return false;
    // Nobody joins the worker; it ends by itself after the outcome has been shown.
    CloseHandle(thread);
    return true;
}

void Win32DialogView::progress_set_range32(std::uint32_t low, std::uint32_t high)
{
    SendMessageA(GetDlgItem(dialog_, IDC_PROGRESS), PBM_SETRANGE32, static_cast<WPARAM>(low),
                 static_cast<LPARAM>(high));
}

void Win32DialogView::progress_set_pos(std::uint32_t position)
{
    SendMessageA(GetDlgItem(dialog_, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32DialogView::progress_step() { SendMessageA(GetDlgItem(dialog_, IDC_PROGRESS), PBM_STEPIT, 0, 0); }

void Win32DialogView::end_dialog(int result) { EndDialog(dialog_, result); }

int Win32DialogView::load_string(int id, char* buffer, std::size_t capacity)
{
    if (capacity == 0)
        return 0;
    buffer[0] = '\0';
    const int n =
        LoadStringA(GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, static_cast<int>(capacity));
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return n;
}

bool Win32DialogView::own_version_numbers(FileVersionNumbers* numbers)
{
    const std::string path = OwnExecutablePath();
    return GetFileVersionNumbers(path.c_str(), &numbers->major, &numbers->minor, &numbers->build,
                                 &numbers->revision);
}

bool Win32DialogView::build_string(char* buffer, std::size_t capacity)
{
    return GetBuildString(OwnExecutablePath().c_str(), buffer, capacity);
}

bool Win32DialogView::ask_ok_cancel(const char* text, const char* caption, MessageIcon icon)
{
    return MessageBoxA(dialog_, text, caption, MB_OKCANCEL | MessageBoxIconFlag(icon)) == IDOK;
}

bool Win32DialogView::power_status(PowerStatus* status)
{
    SYSTEM_POWER_STATUS power{};
    if (!GetSystemPowerStatus(&power))
        return false;
    status->on_battery = power.ACLineStatus == 0;
    status->battery_percent = power.BatteryLifePercent <= 100 ? power.BatteryLifePercent : -1;
    return true;
}

void Win32DialogView::keep_system_awake(bool awake)
{
    SetThreadExecutionState(awake ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
}

void Win32DialogView::block_session_end(const char* reason)
{
    if (reason == nullptr) {
        ShutdownBlockReasonDestroy(dialog_);
        return;
    }
    wchar_t wide[256] = {};
    if (MultiByteToWideChar(CP_ACP, 0, reason, -1, wide, 256) == 0)
        wide[0] = L'\0';
    ShutdownBlockReasonCreate(dialog_, wide);
}

void Win32DialogView::taskbar_progress(std::uint32_t completed, std::uint32_t total)
{
    if (GetWindowThreadProcessId(dialog_, nullptr) == GetCurrentThreadId())
        apply_taskbar_progress(completed, total);
    else
        SendMessageA(dialog_, kTaskbarProgressMessage, static_cast<WPARAM>(completed),
                     static_cast<LPARAM>(total));
}

void Win32DialogView::apply_taskbar_progress(std::uint32_t completed, std::uint32_t total)
{
    if (taskbar_ == nullptr)
        return;
    taskbar_->SetProgressState(dialog_, TBPF_NORMAL);
    taskbar_->SetProgressValue(dialog_, completed, total);
}

void Win32DialogView::taskbar_error()
{
    if (taskbar_ != nullptr)
        taskbar_->SetProgressState(dialog_, TBPF_ERROR);
}

void Win32DialogView::taskbar_clear()
{
    if (taskbar_ != nullptr)
        taskbar_->SetProgressState(dialog_, TBPF_NOPROGRESS);
}

void Win32DialogView::set_timer(std::uint32_t id, std::uint32_t milliseconds)
{
    SetTimer(dialog_, id, milliseconds, nullptr);
}

void Win32DialogView::kill_timer(std::uint32_t id) { KillTimer(dialog_, id); }

std::string Win32DialogView::serial_port_list()
{
    // The serial library's list: the ports every serial driver lists, and what sits behind them.
    return PortListSignature(ListPorts());
}

void Win32DialogView::show_balloon(int control_id, const char* title, const char* text)
{
    if (balloon_ == nullptr) {
        balloon_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                                   WS_POPUP | TTS_BALLOON | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog_, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);
        if (balloon_ == nullptr)
            return;
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
        tool.hwnd = dialog_;
        tool.uId = 1;
        tool.lpszText = const_cast<char*>("");
        SendMessageA(balloon_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
        // At the dialog's scale: its font and width, so that the text is neither tiny nor cut.
        balloon_font_ = CreateMessageFont(dpi_);
        SendMessageA(balloon_, WM_SETFONT, reinterpret_cast<WPARAM>(balloon_font_), FALSE);
        SendMessageA(balloon_, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kBalloonWidth, dpi_));
    }
    balloon_text_ = text;
    balloon_title_ = title;
    balloon_control_ = control_id;
    balloon_visible_ = true;
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = dialog_;
    tool.uId = 1;
    tool.lpszText = balloon_text_.data();
    SendMessageA(balloon_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageA(balloon_, TTM_SETTITLEA, TTI_WARNING, reinterpret_cast<LPARAM>(title));
    // Its window text too, so that whoever looks at the window can read what it says.
    SetWindowTextA(balloon_, text);
    RECT control{};
    GetWindowRect(GetDlgItem(dialog_, control_id), &control);
    SendMessageA(balloon_, TTM_TRACKPOSITION, 0,
                 MAKELPARAM((control.left + control.right) / 2, control.bottom));
    SendMessageA(balloon_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
    // Above the dialog, which may have come to the front after the tip was made.
    SetWindowPos(balloon_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Win32DialogView::replace_balloon(UINT dpi)
{
    dpi_ = dpi;
    if (balloon_ == nullptr)
        return;
    DestroyWindow(balloon_);
    balloon_ = nullptr;
    DeleteObject(balloon_font_);
    balloon_font_ = nullptr;
    if (!balloon_visible_)
        return;
    // Copies: showing it again sets these members.
    const std::string title = balloon_title_;
    const std::string text = balloon_text_;
    show_balloon(balloon_control_, title.c_str(), text.c_str());
}

void Win32DialogView::hide_balloon()
{
    balloon_visible_ = false;
    if (balloon_ == nullptr)
        return;
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = dialog_;
    tool.uId = 1;
    SendMessageA(balloon_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
}

void Win32DialogView::on_taskbar_button_created()
{
    if (taskbar_ != nullptr)
        return;
    ITaskbarList3* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&list))))
        return;
    if (FAILED(list->HrInit())) {
        list->Release();
        return;
    }
    taskbar_ = list;
}

void Win32DialogView::release_taskbar()
{
    if (taskbar_ != nullptr)
        taskbar_->Release();
    taskbar_ = nullptr;
}

namespace {

// The first file of a drop, as Browse would have returned it, whole and in UTF-8; one whose name
// no UTF-8 can hold is refused with a message rather than changed.
void TakeDrop(HWND window, UpdateDialog& dialog, HDROP drop)
{
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    std::wstring wide(length, L'\0');
    const bool whole = length != 0 && DragQueryFileW(drop, 0, wide.data(), length + 1) == length;
    DragFinish(drop);
    if (!whole)
        return;
    std::string path;
    if (Utf8FromWide(wide, &path))
        dialog.OnFileDropped(path.c_str());
    else
        MessageBoxA(window, kUnusablePathText, "Error!", MB_OK | MB_ICONWARNING);
}

} // namespace

void InstallUpdateDialog(UpdateDialog& dialog) { g_dialog = &dialog; }

void InstallLogWindow(LogWindow& window, Win32LogWindowView& view)
{
    g_log_window = &window;
    g_log_view = &view;
}

INT_PTR CALLBACK UpdateDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (g_dialog == nullptr)
        return 0;
    UpdateDialog& dialog = *g_dialog;
    switch (message) {
    case WM_INITDIALOG:
        g_view.attach(window);
        g_taskbar_button_created = RegisterWindowMessageA("TaskbarButtonCreated");
        DragAcceptFiles(window, TRUE);
        if (g_log_window != nullptr) {
            g_log_view->set_owner(window);
            AddLogMenuItem(window);
        }
        RegisterForPortNotifications(window);
        dialog.OnInitDialog(g_view);
        return 1;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_UPDATE: dialog.OnUpdateButton(); break;
        case IDC_CANCEL: dialog.OnCancel(); break;
        case IDC_DETECT: dialog.OnDetectButton(); break;
        case IDC_BROWSE: dialog.OnBrowseButton(); break;
        default: break;
        }
        return 0;
    case WM_DETECT_HARDWARE: dialog.OnDetectHardware(); return 0;
    case WM_UPDATE_COMPLETE: dialog.OnUpdateComplete(static_cast<std::int32_t>(lparam)); return 0;
    case WM_CLOSE:
        // The dialog manager would turn this into IDCANCEL, which is refused during an upload too;
        // stopping it here keeps the refusal independent of that translation.
        if (dialog.upload_running()) {
            SetWindowLongPtrA(window, DWLP_MSGRESULT, 0);
            return 1;
        }
        return 0;
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == kDiagnosticLogCommand && g_log_window != nullptr) {
            g_log_window->OnOpen(*g_log_view);
            SetWindowLongPtrA(window, DWLP_MSGRESULT, 0);
            return 1;
        }
        if ((wparam & 0xFFF0) == SC_CLOSE && dialog.upload_running()) {
            SetWindowLongPtrA(window, DWLP_MSGRESULT, 0);
            return 1;
        }
        return 0;
    case WM_QUERYENDSESSION:
        SetWindowLongPtrA(window, DWLP_MSGRESULT, dialog.OnQueryEndSession() ? TRUE : FALSE);
        return 1;
    case WM_DROPFILES: TakeDrop(window, dialog, reinterpret_cast<HDROP>(wparam)); return 0;
    case WM_DEVICECHANGE:
        if (IsPortChange(wparam, lparam))
            dialog.OnDeviceChange();
        SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
        return 1;
    case WM_TIMER:
        // The dialog's timers are one-shot; it sets them again when it wants more.
        KillTimer(window, wparam);
        dialog.OnTimer(static_cast<std::uint32_t>(wparam));
        return 0;
    case WM_DPICHANGED:
        // The dialog manager scales the template's controls and fonts itself (0: default handling).
        PostMessageA(window, kPlaceBalloonMessage, HIWORD(wparam), 0);
        return 0;
    case kPlaceBalloonMessage: g_view.replace_balloon(static_cast<UINT>(wparam)); return 0;
    case kTaskbarProgressMessage:
        g_view.apply_taskbar_progress(static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam));
        return 0;
    case WM_DESTROY:
        dialog.OnDestroy();
        g_view.release_taskbar();
        if (g_port_notifications != nullptr)
            UnregisterDeviceNotification(g_port_notifications);
        g_port_notifications = nullptr;
        return 0;
    default:
        if (message != 0 && message == g_taskbar_button_created)
            g_view.on_taskbar_button_created();
        return 0;
    }
}
