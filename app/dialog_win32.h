// The Win32 side of the update dialog: the view over the dialog window and the dialog procedure.
#pragma once

#include <windows.h>

#include <shobjidl.h>

#include <string>

class Win32LogWindowView;

#include "app/log_window.h"
#include "app/update_dialog.h"

class Win32DialogView final : public DialogView {
public:
    void attach(HWND dialog);
    HWND window() const { return dialog_; }

    void set_caption(const char* text) override;
    void set_text(int control_id, const char* text) override;
    void get_text(int control_id, char* buffer, std::size_t capacity) override;
    void enable(int control_id, bool enabled) override;
    bool is_enabled(int control_id) override;
    void center_on_desktop() override;
    void message_box(const char* text, const char* caption, MessageIcon icon) override;
    bool browse_for_file(char* buffer, std::size_t capacity, const char* title, const char* filter,
                         const char* default_extension) override;
    void post_message(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
    void send_message(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
    bool start_worker(FirmwareUpdateParams& params) override;
    void progress_set_range32(std::uint32_t low, std::uint32_t high) override;
    void progress_set_pos(std::uint32_t position) override;
    void progress_step() override;
    void end_dialog(int result) override;
    int load_string(int id, char* buffer, std::size_t capacity) override;
    bool own_version_numbers(FileVersionNumbers* numbers) override;
    bool build_string(char* buffer, std::size_t capacity) override;
    bool ask_ok_cancel(const char* text, const char* caption, MessageIcon icon) override;
    bool power_status(PowerStatus* status) override;
    void keep_system_awake(bool awake) override;
    void block_session_end(const char* reason) override;
    void taskbar_progress(std::uint32_t completed, std::uint32_t total) override;
    void taskbar_error() override;
    void taskbar_clear() override;
    void set_timer(std::uint32_t id, std::uint32_t milliseconds) override;
    void kill_timer(std::uint32_t id) override;
    std::string serial_port_list() override;
    void show_balloon(int control_id, const char* title, const char* text) override;
    void hide_balloon() override;

    // "TaskbarButtonCreated": the button exists now, so its progress can be shown.
    void on_taskbar_button_created();
    // On the dialog's thread: what taskbar_progress asked for from another thread.
    void apply_taskbar_progress(std::uint32_t completed, std::uint32_t total);
    void release_taskbar();
    // After a change of scale (the dialog has laid itself out again): the balloon made afresh at
    // the new scale, pointing at its control where that now is.
    void replace_balloon(UINT dpi);

private:
    HWND dialog_ = nullptr;
    ITaskbarList3* taskbar_ = nullptr; // null where the shell offers none
    HWND balloon_ = nullptr;           // the tooltip that says why no device was found
    std::string balloon_text_;
    std::string balloon_title_;
    int balloon_control_ = 0;
    bool balloon_visible_ = false;
    HFONT balloon_font_ = nullptr;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI; // the scale the dialog is drawn at, as last told
};

// Binds the dialog procedure to the process-wide dialog state; call once before the dialog opens.
void InstallUpdateDialog(UpdateDialog& dialog);

// The diagnostic log window that the system menu opens; without one the menu item is not added.
void InstallLogWindow(LogWindow& window, Win32LogWindowView& view);

INT_PTR CALLBACK UpdateDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
