#include "log/file_path_win32.h"

#include <windows.h>

#include <cerrno>
#include <climits>

#include "log/file_path.h"

bool WideFromUtf8(std::string_view text, std::wstring* wide)
{
    wide->clear();
    if (text.empty())
        return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return false;
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0)
        return false;
    wide->resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide->data(), n) == n;
}

bool Utf8FromWide(std::wstring_view wide, std::string* text)
{
    text->clear();
    if (wide.empty())
        return true;
    if (wide.size() > static_cast<std::size_t>(INT_MAX / 3))
        return false;
    const int size = static_cast<int>(wide.size());
    const int n =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    text->resize(static_cast<std::size_t>(n));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, text->data(), n, nullptr,
                               nullptr) == n;
}

std::wstring SystemPath(const std::wstring& path)
{
    // Below this the classic functions take any path; the folder functions stop 12 short of it.
    constexpr std::size_t kClassicLimit = MAX_PATH - 12;
    if (path.size() < kClassicLimit || path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0)
        return path;
    // The "\\?\" form is taken literally: it must be the full path, with backslashes only and no
    // "." or ".." left in it, which is what the system's own full-path function gives.
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (n == 0 || n >= needed)
        return path;
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2); // \\server\share\...
    return L"\\\\?\\" + full;
}

bool SystemPathFromUtf8(const char* path, std::wstring* system_path)
{
    std::wstring wide;
    if (path == nullptr || !WideFromUtf8(path, &wide))
        return false;
    *system_path = SystemPath(wide);
    return true;
}

std::FILE* OpenFileByPath(const char* path, const char* mode)
{
    std::wstring wide_path;
    std::wstring wide_mode;
    if (!SystemPathFromUtf8(path, &wide_path) || !WideFromUtf8(mode, &wide_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(wide_path.c_str(), wide_mode.c_str());
}
