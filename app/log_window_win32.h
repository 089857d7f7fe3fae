// The diagnostic log window on Win32: a resizable window owned by the dialog, with a read-only
// edit control and the buttons "Save As..." and "Close".
#pragma once

#include <windows.h>

#include "app/log_window.h"

class Win32LogWindowView final : public LogWindowView {
public:
    explicit Win32LogWindowView(LogWindow& window) : log_window_(window) {}

    // The window made on first show is owned by this one (the dialog).
    void set_owner(HWND owner) { owner_ = owner; }
    HWND window() const { return window_; }

    bool show() override;
    void hide() override;
    void set_text(const char* text) override;
    void remove_leading(std::size_t characters) override;
    void append(const char* text) override;
    bool choose_save_path(char* buffer, std::size_t capacity, const char* title, const char* filter,
                          const char* default_extension) override;
    void message_box(const char* text, const char* caption, MessageIcon icon) override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    bool create();
    void layout();
    // Fonts and sizes for the scale the window is drawn at, again whenever it changes.
    void apply_dpi(UINT dpi);

    LogWindow& log_window_;
    HWND owner_ = nullptr;
    HWND window_ = nullptr;
    HWND edit_ = nullptr;
    HWND save_ = nullptr;
    HWND close_ = nullptr;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    HFONT text_font_ = nullptr;
    HFONT button_font_ = nullptr;
};
