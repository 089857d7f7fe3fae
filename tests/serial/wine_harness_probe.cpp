// Probe for the Wine runner's own test: exits with the status given as its first argument, after
// checking that the COM port named by the second (if any) opens or does not as the third says.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2) {
        return 100;
    }
    if (argc >= 4) {
        char path[64];
        std::snprintf(path, sizeof path, "\\\\.\\COM%s", argv[2]);
        const HANDLE port =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const bool opened = port != INVALID_HANDLE_VALUE;
        if (opened) {
            CloseHandle(port);
        }
        if (opened != (std::strcmp(argv[3], "open") == 0)) {
            std::printf("%s: %s\n", path, opened ? "opened" : "did not open");
            return 101;
        }
    }
    return std::atoi(argv[1]);
}
