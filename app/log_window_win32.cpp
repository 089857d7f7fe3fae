#include "app/log_window_win32.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/win32_helpers.h"
#include "resources/resource.h"

namespace {

constexpr char kWindowClass[] = "KorvaneDiagnosticLog";
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 1000;
// At 100 %; every length in pixels is scaled to the window's DPI.
constexpr int kMargin = 8;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 24;
constexpr int kWidth = 720;
constexpr int kHeight = 480;
// Room for the 4 MiB the log keeps, with its line breaks.
constexpr WPARAM kEditLimit = 16u << 20;

} // namespace

bool Win32LogWindowView::create()
{
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    if (!GetClassInfoExA(instance, kWindowClass, &window_class)) {
        window_class = WNDCLASSEXA{};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = WindowProc;
        window_class.hInstance = instance;
        window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
        window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        window_class.lpszClassName = kWindowClass;
        if (RegisterClassExA(&window_class) == 0)
            return false;
    }
    // Sized for the scale of the dialog's monitor, where it opens, and never larger than that
    // monitor's free area (a small screen at a large scale), so that its buttons stay in reach.
    const UINT dpi = WindowDpi(owner_);
    int width = ScaleForDpi(kWidth, dpi);
    int height = ScaleForDpi(kHeight, dpi);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoA(MonitorFromWindow(owner_, MONITOR_DEFAULTTONEAREST), &monitor)) {
        width = std::min<int>(width, monitor.rcWork.right - monitor.rcWork.left);
        height = std::min<int>(height, monitor.rcWork.bottom - monitor.rcWork.top);
    }
    window_ = CreateWindowExA(0, kWindowClass, kDiagnosticLogTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, width, height, owner_, nullptr, instance, this);
    return window_ != nullptr;
}

LRESULT CALLBACK Win32LogWindowView::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto* self = reinterpret_cast<Win32LogWindowView*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        self = static_cast<Win32LogWindowView*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    }
    if (self == nullptr)
        return DefWindowProcA(window, message, wparam, lparam);
    if (message == WM_NCDESTROY)
        SetWindowLongPtrA(window, GWLP_USERDATA, 0); // the last message this view hears of
    return self->handle(window, message, wparam, lparam);
}

LRESULT Win32LogWindowView::handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE: {
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        edit_ =
            CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                            0, 0, 0, 0, window_, reinterpret_cast<HMENU>(IDC_LOG_TEXT), instance, nullptr);
        save_ =
            CreateWindowExA(0, "BUTTON", "Save As...", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                            0, 0, 0, window_, reinterpret_cast<HMENU>(IDC_LOG_SAVE), instance, nullptr);
        close_ = CreateWindowExA(0, "BUTTON", "Close", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                                 0, 0, 0, window_, reinterpret_cast<HMENU>(IDC_LOG_CLOSE), instance, nullptr);
        if (edit_ == nullptr || save_ == nullptr || close_ == nullptr)
            return -1;
        SendMessageA(edit_, EM_SETLIMITTEXT, kEditLimit, 0);
        apply_dpi(WindowDpi(window_));
        return 0;
    }
    case WM_SIZE: layout(); return 0;
    case WM_DPICHANGED: {
        // Moved to a monitor of another scale: the size the system suggests keeps the layout, and
        // the text is drawn anew at the new scale rather than stretched.
        const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
        apply_dpi(HIWORD(wparam));
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        layout();
        return 0;
    }
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
        info->ptMinTrackSize.x = ScaleForDpi(3 * kMargin + 2 * kButtonWidth + 40, dpi_);
        info->ptMinTrackSize.y = ScaleForDpi(160, dpi_);
        return 0;
    }
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_LOG_SAVE: log_window_.OnSave(); break;
        case IDC_LOG_CLOSE:
        case IDCANCEL: log_window_.OnClose(); break;
        default: break;
        }
        return 0;
    case WM_TIMER:
        if (wparam == kRefreshTimer)
            log_window_.OnRefresh();
        return 0;
    case WM_CLOSE: log_window_.OnClose(); return 0; // hidden, kept for the next time
    case WM_DESTROY:
        KillTimer(window_, kRefreshTimer);
        log_window_.OnDestroyed();
        window_ = edit_ = save_ = close_ = nullptr;
        // The controls that used the fonts are gone with the window.
        DeleteObject(text_font_);
        DeleteObject(button_font_);
        text_font_ = button_font_ = nullptr;
        return 0;
    default: break;
    }
    // The window the message is for: after WM_DESTROY the view has let go of its handle, but the
    // system still sends WM_NCDESTROY, whose default handling frees what the window holds.
    return DefWindowProcA(window, message, wparam, lparam);
}

void Win32LogWindowView::apply_dpi(UINT dpi)
{
    dpi_ = dpi;
    // The dumps line up in columns only in a fixed-pitch font.
    HFONT text_font = CreateFixedFont(dpi);
    HFONT button_font = CreateMessageFont(dpi);
    SendMessageA(edit_, WM_SETFONT, reinterpret_cast<WPARAM>(text_font), TRUE);
    SendMessageA(save_, WM_SETFONT, reinterpret_cast<WPARAM>(button_font), TRUE);
    SendMessageA(close_, WM_SETFONT, reinterpret_cast<WPARAM>(button_font), TRUE);
    // The controls hold the new ones now; the old ones can go.
    if (text_font_ != nullptr)
        DeleteObject(text_font_);
    if (button_font_ != nullptr)
        DeleteObject(button_font_);
    text_font_ = text_font;
    button_font_ = button_font;
}

void Win32LogWindowView::layout()
{
    RECT client{};
    GetClientRect(window_, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int margin = ScaleForDpi(kMargin, dpi_);
    const int button_width = ScaleForDpi(kButtonWidth, dpi_);
    const int button_height = ScaleForDpi(kButtonHeight, dpi_);
    const int buttons_top = height - margin - button_height;
    MoveWindow(edit_, margin, margin, width - 2 * margin, buttons_top - 2 * margin, TRUE);
    MoveWindow(close_, width - margin - button_width, buttons_top, button_width, button_height, TRUE);
    MoveWindow(save_, width - 2 * (margin + button_width), buttons_top, button_width, button_height, TRUE);
}

bool Win32LogWindowView::show()
{
    if (window_ == nullptr && !create())
        return false;
    ShowWindow(window_, SW_SHOWNORMAL);
    SetForegroundWindow(window_);
    SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
    return true;
}

void Win32LogWindowView::hide()
{
    if (window_ == nullptr)
        return;
    KillTimer(window_, kRefreshTimer);
    ShowWindow(window_, SW_HIDE);
}

void Win32LogWindowView::set_text(const char* text)
{
    if (edit_ != nullptr)
        SetWindowTextA(edit_, text);
}

void Win32LogWindowView::remove_leading(std::size_t characters)
{
    if (edit_ == nullptr)
        return;
    SendMessageA(edit_, EM_SETSEL, 0, static_cast<LPARAM>(characters));
    SendMessageA(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
}

void Win32LogWindowView::append(const char* text)
{
    if (edit_ == nullptr)
        return;
    const LRESULT end = SendMessageA(edit_, WM_GETTEXTLENGTH, 0, 0);
    SendMessageA(edit_, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageA(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

bool Win32LogWindowView::choose_save_path(char* buffer, std::size_t capacity, const char* title,
                                          const char* filter, const char* default_extension)
{
    if (capacity == 0)
        return false;
    buffer[0] = '\0';
    std::string path;
    switch (ChooseSaveFile(window_, &path, capacity, title, filter, default_extension)) {
    case FileChoice::chosen: std::memcpy(buffer, path.c_str(), path.size() + 1); return true;
    case FileChoice::unusable:
        MessageBoxA(window_, "That path cannot be used: it is too long or its name is not valid Unicode.",
                    kDiagnosticLogTitle, MB_OK | MB_ICONWARNING);
        break;
    case FileChoice::cancelled: break;
    }
    return false;
}

void Win32LogWindowView::message_box(const char* text, const char* caption, MessageIcon icon)
{
    // The text may name the chosen file, in any script.
    MessageBoxUtf8(window_, text, caption, MB_OK | MessageBoxIconFlag(icon));
}
