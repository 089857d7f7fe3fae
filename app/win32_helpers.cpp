#include "app/win32_helpers.h"

#include <commdlg.h>

#include <cstdio>
#include <vector>

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
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return false;
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (!GetFileVersionInfoA(path, 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
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

bool BrowseForFile(HWND owner, char* buffer, std::size_t capacity, const char* title, const char* filter,
                   const char* default_extension)
{
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = buffer;
    ofn.nMaxFile = static_cast<DWORD>(capacity);
    ofn.lpstrFileTitle = nullptr;
    ofn.lpstrTitle = title;
    if (filter != nullptr)
        ofn.lpstrDefExt = default_extension;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_CREATEPROMPT;
    return GetOpenFileNameA(&ofn) != FALSE;
}

void OwnExecutablePath(char* buffer, std::size_t capacity)
{
    if (capacity == 0)
        return;
    const DWORD n = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(capacity));
    // A cut path is as useless as none.
    if (n == 0 || n >= capacity)
        buffer[0] = '\0';
    else
        buffer[n] = '\0';
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
