#include "cli/console_text.h"

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <string>

#include "log/file_path_win32.h"

bool WriteStreamText(std::FILE* stream, std::string_view text)
{
    const int fd = _fileno(stream);
    const HANDLE handle = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
    DWORD mode = 0;
    std::wstring wide;
    if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == FALSE ||
        !WideFromUtf8(text, &wide))
        return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    // What went through the stream before comes first.
    std::fflush(stream);
    const wchar_t* rest = wide.data();
    std::size_t left = wide.size();
    while (left > 0) {
        // Consoles refuse very large single writes; pieces of a few thousand characters always pass.
        const DWORD piece = left < 8192 ? static_cast<DWORD>(left) : 8192;
        DWORD written = 0;
        if (WriteConsoleW(handle, rest, piece, &written, nullptr) == FALSE || written == 0) {
            errno = EIO;
            return false;
        }
        rest += written;
        left -= written;
    }
    return true;
}
