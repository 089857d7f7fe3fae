#include <windows.h>

#include <string>

#include "cli/record.h"
#include "log/file_path_win32.h"

namespace {

// Invalid UTF-8 gives an empty name, which no open takes: nothing is guessed.
std::wstring Wide(const std::string& text)
{
    std::wstring wide;
    return WideFromUtf8(text, &wide) ? wide : std::wstring();
}

std::string SystemMessage(DWORD code)
{
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                       sizeof text, nullptr) == 0)
        return "error " + std::to_string(code);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

// COM3, NUL, \\.\COM3: the system's full form of the name is in the device space, so opening it
// would open the device (a serial port raises its control lines).
bool IsDeviceName(const std::wstring& path)
{
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return false;
    std::wstring full(n, L'\0');
    if (GetFullPathNameW(path.c_str(), n, full.data(), nullptr) == 0)
        return false;
    return full.rfind(L"\\\\.\\", 0) == 0;
}

HANDLE HandleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

bool SameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) != FALSE && GetFileInformationByHandle(b, &y) != FALSE &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

} // namespace

RecordFile::~RecordFile()
{
    if (handle_ != -1)
        CloseHandle(HandleOf(handle_));
}

bool RecordFile::Open(const std::string& path, std::string& error)
{
    path_ = path;
    const DWORD attributes = GetFileAttributesW(SystemPath(Wide(path)).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "that is a folder, not a regular file";
        return false;
    }
    if (IsDeviceName(Wide(path))) {
        error = "that is a device, not a regular file";
        return false;
    }
    // Shared for writing: other runs append too, under the lock.
    const HANDLE file =
        CreateFileW(SystemPath(Wide(path)).c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemMessage(GetLastError());
        return false;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        error = GetFileType(file) == FILE_TYPE_PIPE ? "that is a pipe, not a regular file"
                                                    : "that is a device, not a regular file";
        CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool RecordFile::Is(const std::string& path) const
{
    if (handle_ == -1)
        return false;
    const HANDLE other =
        CreateFileW(SystemPath(Wide(path)).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    const bool same = SameFile(HandleOf(handle_), other);
    CloseHandle(other);
    return same;
}

bool RecordFile::AppendText(const std::string& line, std::string& error)
{
    const HANDLE file = HandleOf(handle_);
    if (handle_ == -1) {
        error = SystemMessage(ERROR_INVALID_HANDLE);
        return false;
    }
    // The lock every run on this file takes, over the whole of any length it may grow to.
    OVERLAPPED whole{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) == FALSE) {
        error = SystemMessage(GetLastError());
        return false;
    }
    LARGE_INTEGER length{};
    GetFileSizeEx(file, &length);
    std::string text;
    if (length.QuadPart > 0) {
        char last = '\n';
        DWORD read = 0;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(length.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((length.QuadPart - 1) >> 32);
        if (ReadFile(file, &last, 1, &read, &at) != FALSE && read == 1 && last != '\n')
            text = "\n";
    }
    text += line;
    DWORD written = 0;
    DWORD failure = 0;
    if (WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) == FALSE)
        failure = GetLastError();
    else if (written != text.size())
        failure = ERROR_DISK_FULL;
    else if (FlushFileBuffers(file) == FALSE)
        failure = GetLastError();
    if (failure != 0) {
        // Whatever part got there is taken back: a cut line would spoil the next record too.
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile = length;
        SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
        error = SystemMessage(failure);
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    return failure == 0;
}
