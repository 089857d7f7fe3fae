// Stands in for a system DLL: copied beside a program under a system DLL's name, it appends the path
// of the program that loaded it to "<its own path>.loaded" and does nothing else. It exports no
// function of the DLL it imitates, so a program that imports one from it cannot start: the marker
// is written first.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t marker[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcpyW(marker + length, L".loaded");
    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return TRUE;
    char program[MAX_PATH + 1];
    DWORD size = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (size >= MAX_PATH)
        size = 0;
    program[size++] = '\n';
    DWORD written = 0;
    WriteFile(file, program, size, &written, nullptr);
    CloseHandle(file);
    return TRUE;
}

// For the test's check that a loaded stand-in leaves its marker: rundll32 loads the DLL by its path
// and calls this.
extern "C" __declspec(dllexport) void CALLBACK StandinProbe(HWND, HINSTANCE, LPSTR, int) {}
