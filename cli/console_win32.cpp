#include <windows.h>

#include <io.h>

#include <string>

#include "cli/platform.h"
#include "cli/stop_state.h"
#include "log/file_path_win32.h"

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool StandardErrorTakesCursorControl()
{
    if (!StandardErrorIsTerminal())
        return false;
    // Consoles before Windows 10 refuse the mode and would print the sequences as text.
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != FALSE &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE);
}

int StandardErrorColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == FALSE)
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int StandardErrorRows()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == FALSE)
        return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

void IgnoreSignalsOfFailedWrites() {} // a failed write is an error on Windows, never a signal

bool HoldClosedStandardStreams()
{
    // Files and ports are opened as handles, never in place of a standard stream; only the
    // outcome has nowhere to go.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output == nullptr || output == INVALID_HANDLE_VALUE;
}

namespace {

// The file's identity (volume and index), so that two paths to one file compare equal.
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info, DWORD& type)
{
    std::wstring wide;
    if (!SystemPathFromUtf8(path.c_str(), &wide))
        return false;
    const HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    type = GetFileType(h);
    const bool known = GetFileInformationByHandle(h, &info) != FALSE;
    CloseHandle(h);
    return known || type == FILE_TYPE_CHAR;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace

std::string TraceFileRefusal(const std::string& file, const std::string& package,
                             const std::string& port_path)
{
    // Device names (COM3, \\.\COM3, CON, NUL) are devices whatever their spelling.
    if (file.rfind("\\\\.\\", 0) == 0)
        return "that is a terminal or another device, not a file";
    BY_HANDLE_FILE_INFORMATION target{};
    DWORD type = FILE_TYPE_UNKNOWN;
    if (!FileIdentity(file, target, type))
        return "";
    if (type == FILE_TYPE_CHAR) {
        // Only when it is this program's own standard error (the console, typically).
        if (!port_path.empty() && file == port_path)
            return "that is the port";
        if (GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR && (file == "CON" || file == "con"))
            return "";
        return "that is a terminal or another device, not a file";
    }
    BY_HANDLE_FILE_INFORMATION other{};
    DWORD other_type = FILE_TYPE_UNKNOWN;
    if (!package.empty() && FileIdentity(package, other, other_type) && SameFile(target, other))
        return "that is the package";
    if (!port_path.empty() && FileIdentity(port_path, other, other_type) && SameFile(target, other))
        return "that is the port";
    return "";
}

namespace {

// The console calls the stop request's handler on a thread of its own.
HANDLE g_wake = nullptr;

BOOL WINAPI OnStopRequest(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE; // closing the console or ending the session cannot be refused here
    stop_state::last_request = static_cast<int>(event);
    stop_state::requested.fetch_add(1);
    if (stop_state::EndsAtOnce())
        return FALSE; // nothing was sent: the program ends as the request asks
    if (stop_state::end_when_idle.load()) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kUpdateInProgressText, sizeof kUpdateInProgressText - 1,
                  &written, nullptr);
    }
    if (g_wake != nullptr)
        SetEvent(g_wake);
    return TRUE;
}

} // namespace

StopRequest::StopRequest(Answer answer)
{
    stop_state::requested = 0;
    stop_state::updates_running = 0;
    stop_state::update_began = false;
    stop_state::end_when_idle = answer == Answer::end_when_idle;
    // Made once and kept, as the handler is: a request during the program's end changes nothing.
    if (g_wake == nullptr) {
        g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnStopRequest, TRUE);
    }
}

bool StopRequest::Wait(std::chrono::milliseconds timeout)
{
    if (requested())
        return true;
    if (g_wake != nullptr)
        WaitForSingleObject(g_wake, static_cast<DWORD>(timeout.count()));
    else
        Sleep(static_cast<DWORD>(timeout.count()));
    return requested();
}

void StopRequest::EndAsAsked() const { ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT)); }
