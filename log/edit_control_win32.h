// The log's TextControl on a Win32 multi-line edit control.
#pragma once

#include <windows.h>

#include "log/log.h"

// Messages go out with SendMessageA, so a call from another thread waits until the control's
// own thread has handled it.
class EditControlWin32 final : public TextControl {
public:
    explicit EditControlWin32(HWND edit) : edit_(edit) {}

    std::size_t text_length() override;
    void set_selection(std::size_t start, std::size_t end) override;
    void replace_selection(const char* text) override;
    bool called_from_owner_thread() override;

    HWND handle() const { return edit_; }

private:
    HWND edit_;
};
