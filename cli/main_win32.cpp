// Entry of the Windows console updater.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "log/file_path_win32.h"

namespace {

// The arguments as typed, in UTF-8: the C runtime's argv holds them in the code page, where a
// folder named in another script has already become question marks.
bool Utf8Arguments(std::vector<std::string>* arguments)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return false;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        std::string argument;
        ok = Utf8FromWide(wide[i], &argument);
        arguments->push_back(std::move(argument));
    }
    LocalFree(wide);
    return ok;
}

} // namespace

int main(int, char**)
{
    // Before anything can load a DLL: only from System32, never from the program's folder (a
    // Downloads folder holds whatever the browser saved) nor the current one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    std::vector<std::string> arguments;
    if (!Utf8Arguments(&arguments) || arguments.empty()) {
        std::fputs("korvane-update: the command line holds text that is not valid Unicode\n", stderr);
        return kExitUsage;
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return RunCli(static_cast<int>(arguments.size()), argv.data());
}
