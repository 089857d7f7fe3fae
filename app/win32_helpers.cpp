#include "app/win32_helpers.h"

#include <cderr.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "log/file_path_win32.h"

void CenterWindow(HWND window, HWND reference)
{
    if (reference == nullptr)
        reference = GetDesktopWindow();
    RECT own{};
    RECT ref{};
    if (!GetWindowRect(window, &own) || !GetWindowRect(reference, &ref))
        return;
    const int own_width = own.right - own.left;
    const int own_height = own.bottom - own.top;
    const int ref_width = ref.right - ref.left;
    const int ref_height = ref.bottom - ref.top;
    const int left = ref.left + ref_width / 2 - own_width / 2;
    const int top = ref.top + ref_height / 2 - own_height / 2;
    SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool GetFileVersionNumbers(const char* path, std::uint32_t* major, std::uint32_t* minor, std::uint32_t* build,
                           std::uint32_t* revision)
{
    std::wstring wide;
    if (!SystemPathFromUtf8(path, &wide))
        return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
    if (size == 0)
        return false;
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (!GetFileVersionInfoW(wide.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
        fixed == nullptr || fixed_size < sizeof(VS_FIXEDFILEINFO)) {
        // The record exists but cannot be read: the numbers count as 0.
        fixed = nullptr;
    }
    const DWORD ms = fixed != nullptr ? fixed->dwFileVersionMS : 0;
    const DWORD ls = fixed != nullptr ? fixed->dwFileVersionLS : 0;
    if (major != nullptr)
        *major = HIWORD(ms);
    if (minor != nullptr)
        *minor = LOWORD(ms);
    if (build != nullptr)
        *build = HIWORD(ls);
    if (revision != nullptr)
        *revision = LOWORD(ls);
    return true;
}

bool GetBuildString(const char* path, char* buffer, std::size_t capacity)
{
    std::uint32_t major = 0, minor = 0, build = 0, revision = 0;
    if (!GetFileVersionNumbers(path, &major, &minor, &build, &revision))
        return false;
    if (capacity > 0)
        std::snprintf(buffer, capacity, "%i.%.2i.%.4i.%.2i", static_cast<int>(major), static_cast<int>(minor),
                      static_cast<int>(build), static_cast<int>(revision));
    return true;
}

namespace {

// A filter list of "name\0pattern\0" pairs ended by an empty name, as wide text.
std::wstring WideFilter(const char* filter)
{
    std::wstring wide;
    if (filter == nullptr)
        return wide;
    for (const char* p = filter; *p != '\0'; p += std::strlen(p) + 1) {
        std::wstring part;
        WideFromUtf8(p, &part);
        wide += part;
        wide += L'\0';
    }
    return wide + L'\0';
}

std::wstring WideText(const char* text)
{
    std::wstring wide;
    if (text != nullptr)
        WideFromUtf8(text, &wide);
    return wide;
}

// The file buffer holds any path the system takes; the dialog itself says when a choice is
// longer still (FNERR_BUFFERTOOSMALL), which is then refused rather than cut.
constexpr DWORD kFileBufferSize = 32768;

FileChoice RunFileDialog(bool save, HWND owner, std::string* path, std::size_t capacity, const char* title,
                         const char* filter, const char* default_extension, DWORD flags)
{
    path->clear();
    std::vector<wchar_t> buffer(kFileBufferSize, L'\0');
    const std::wstring wide_filter = WideFilter(filter);
    const std::wstring wide_title = WideText(title);
    const std::wstring wide_extension = WideText(default_extension);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter != nullptr ? wide_filter.c_str() : nullptr;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = kFileBufferSize;
    ofn.lpstrFileTitle = nullptr;
    ofn.lpstrTitle = title != nullptr ? wide_title.c_str() : nullptr;
    if (filter != nullptr && default_extension != nullptr)
        ofn.lpstrDefExt = wide_extension.c_str();
    ofn.Flags = flags;
    const BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    if (!ok)
        return CommDlgExtendedError() == FNERR_BUFFERTOOSMALL ? FileChoice::unusable : FileChoice::cancelled;
    buffer.back() = L'\0';
    if (!Utf8FromWide(buffer.data(), path) || path->size() >= capacity) {
        path->clear();
        return FileChoice::unusable;
    }
    return FileChoice::chosen;
}

} // namespace

FileChoice BrowseForFile(HWND owner, std::string* path, std::size_t capacity, const char* title,
                         const char* filter, const char* default_extension)
{
    return RunFileDialog(false, owner, path, capacity, title, filter, default_extension,
                         OFN_OVERWRITEPROMPT | OFN_CREATEPROMPT);
}

FileChoice ChooseSaveFile(HWND owner, std::string* path, std::size_t capacity, const char* title,
                          const char* filter, const char* default_extension)
{
    return RunFileDialog(true, owner, path, capacity, title, filter, default_extension,
                         OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR);
}

std::string OwnExecutablePath()
{
    // The folder may be long and named in any script; the buffer grows until the path fits whole.
    for (DWORD size = MAX_PATH; size <= 0x10000; size *= 2) {
        std::vector<wchar_t> buffer(size, L'\0');
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (n == 0)
            return std::string();
        if (n < size) {
            std::string path;
            if (!Utf8FromWide(std::wstring_view(buffer.data(), n), &path))
                return std::string();
            return path;
        }
    }
    return std::string();
}

bool WindowTextUtf8(HWND window, std::string* text)
{
    text->clear();
    const int length = GetWindowTextLengthW(window);
    if (length <= 0)
        return true;
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    const int n = GetWindowTextW(window, buffer.data(), length + 1);
    return Utf8FromWide(std::wstring_view(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0), text);
}

bool SetWindowTextUtf8(HWND window, const char* text)
{
    std::wstring wide;
    if (!WideFromUtf8(text != nullptr ? text : "", &wide))
        return false;
    return SetWindowTextW(window, wide.c_str()) != FALSE;
}

int MessageBoxUtf8(HWND owner, const char* text, const char* caption, UINT flags)
{
    std::wstring wide_text;
    std::wstring wide_caption;
    // Text that is not UTF-8 is still shown, in the code page, rather than not at all.
    if (!WideFromUtf8(text, &wide_text) || !WideFromUtf8(caption, &wide_caption))
        return MessageBoxA(owner, text, caption, flags);
    return MessageBoxW(owner, wide_text.c_str(), wide_caption.c_str(), flags);
}

namespace {

// Functions of newer systems, looked up where they are: the program also runs where they are missing.
template <typename Function>
Function User32Function(const char* name)
{
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 != nullptr
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
               : nullptr;
}

UINT SystemDpi()
{
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

} // namespace

UINT WindowDpi(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto get_dpi_for_window = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    if (get_dpi_for_window != nullptr && window != nullptr) {
        const UINT dpi = get_dpi_for_window(window);
        if (dpi != 0)
            return dpi;
    }
    return SystemDpi();
}

int ScaleForDpi(int length, UINT dpi)
{
    return MulDiv(length, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}

HFONT CreateMessageFont(UINT dpi)
{
    using ForDpiFunction = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const auto for_dpi = User32Function<ForDpiFunction>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (for_dpi != nullptr && for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
        return CreateFontIndirectW(&metrics.lfMessageFont);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        // Given for the system's scale: brought to the window's.
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
        return CreateFontIndirectW(&metrics.lfMessageFont);
    }
    return CreateFontW(-MulDiv(9, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Shell Dlg 2");
}

HFONT CreateFixedFont(UINT dpi)
{
    return CreateFontW(-MulDiv(9, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       FIXED_PITCH | FF_MODERN, L"Courier New");
}

UINT MessageBoxIconFlag(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::information: return MB_ICONINFORMATION;
    case MessageIcon::warning: return MB_ICONWARNING;
    case MessageIcon::error: break;
    }
    return MB_ICONERROR;
}
