#include <windows.h>

#include <io.h>

#include "cli/platform.h"

namespace {

volatile LONG g_stop_requested = 0;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE; // closing the console or ending the session cannot be refused here
    InterlockedExchange(&g_stop_requested, 1);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kUpdateInProgressText, sizeof kUpdateInProgressText - 1,
              &written, nullptr);
    return TRUE;
}

} // namespace

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

UploadSignalGuard::UploadSignalGuard()
{
    InterlockedExchange(&g_stop_requested, 0);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

UploadSignalGuard::~UploadSignalGuard() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

bool UploadSignalGuard::stop_requested() const
{
    return InterlockedCompareExchange(&g_stop_requested, 0, 0) != 0;
}
