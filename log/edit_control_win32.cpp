#include "log/edit_control_win32.h"

std::size_t EditControlWin32::text_length()
{
    const LRESULT length = SendMessageA(edit_, WM_GETTEXTLENGTH, 0, 0);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

void EditControlWin32::set_selection(std::size_t start, std::size_t end)
{
    SendMessageA(edit_, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void EditControlWin32::replace_selection(const char* text)
{
    SendMessageA(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

bool EditControlWin32::called_from_owner_thread()
{
    return GetWindowThreadProcessId(edit_, nullptr) == GetCurrentThreadId();
}
