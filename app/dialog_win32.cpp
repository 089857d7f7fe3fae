#include "app/dialog_win32.h"

#include <commctrl.h>

#include "app/win32_helpers.h"

namespace {

UpdateDialog* g_dialog = nullptr;
Win32DialogView g_view;

DWORD WINAPI WorkerThread(LPVOID parameter)
{
    return FirmwareUpdateProc(*static_cast<FirmwareUpdateParams*>(parameter));
}

UINT IconFlag(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::information: return MB_ICONINFORMATION;
    case MessageIcon::warning: return MB_ICONWARNING;
    case MessageIcon::error: break;
    }
    return MB_ICONERROR;
}

} // namespace

void Win32DialogView::set_caption(const char* text) { SetWindowTextA(dialog_, text); }

void Win32DialogView::set_text(int control_id, const char* text)
{
    SetDlgItemTextA(dialog_, control_id, text);
}

void Win32DialogView::get_text(int control_id, char* buffer, std::size_t capacity)
{
    if (capacity == 0)
        return;
    buffer[0] = '\0';
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
    MessageBoxA(dialog_, text, caption, MB_OK | IconFlag(icon));
}

bool Win32DialogView::browse_for_file(char* buffer, std::size_t capacity, const char* title,
                                      const char* filter, const char* default_extension)
{
    return BrowseForFile(dialog_, buffer, capacity, title, filter, default_extension);
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
    char path[MAX_PATH] = {};
    OwnExecutablePath(path, sizeof path);
    return GetFileVersionNumbers(path, &numbers->major, &numbers->minor, &numbers->build, &numbers->revision);
}

bool Win32DialogView::build_string(char* buffer, std::size_t capacity)
{
    char path[MAX_PATH] = {};
    OwnExecutablePath(path, sizeof path);
    return GetBuildString(path, buffer, capacity);
}

void InstallUpdateDialog(UpdateDialog& dialog) { g_dialog = &dialog; }

INT_PTR CALLBACK UpdateDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (g_dialog == nullptr)
        return 0;
    UpdateDialog& dialog = *g_dialog;
    switch (message) {
    case WM_INITDIALOG:
        g_view.attach(window);
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
        if ((wparam & 0xFFF0) == SC_CLOSE && dialog.upload_running()) {
            SetWindowLongPtrA(window, DWLP_MSGRESULT, 0);
            return 1;
        }
        return 0;
    case WM_DESTROY: dialog.OnDestroy(); return 0;
    default: return 0;
    }
}
