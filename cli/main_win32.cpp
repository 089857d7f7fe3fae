// Entry of the Windows console updater.
#include <windows.h>

#include "cli/cli.h"

int main(int argc, char** argv)
{
    // Before anything can load a DLL: only from System32, never from the program's folder (a
    // Downloads folder holds whatever the browser saved) nor the current one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return RunCli(argc, argv);
}
