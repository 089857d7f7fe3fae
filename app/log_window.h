// The diagnostic log window: a separate window over the log kept in memory, opened from the
// dialog's system menu. Its behaviour is here; a LogWindowView carries it to the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/path_capacity.h"
#include "log/log_buffer.h"
#include "update/outcome.h"

class DeviceConnection;
struct LogSink;

// The system-menu command that opens the window (WM_SYSCOMMAND; the low four bits stay clear).
inline constexpr std::uint32_t kDiagnosticLogCommand = 0x0100;
inline constexpr char kDiagnosticLogMenuText[] = "Diagnostic Log...";
inline constexpr char kDiagnosticLogTitle[] = "Diagnostic Log";
inline constexpr char kSaveLogTitle[] = "Save Diagnostic Log";
inline constexpr char kSaveLogFilter[] = "Text Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0";
inline constexpr char kSaveLogDefaultExtension[] = "txt";

class LogWindowView {
public:
    virtual ~LogWindowView() = default;
    // Makes the window the first time, shows it and brings it to the front; false when there
    // is no window to be had (the log then stays unseen, nothing else changes).
    virtual bool show() = 0;
    virtual void hide() = 0;
    // The text of the read-only edit control.
    virtual void set_text(const char* text) = 0;
    virtual void remove_leading(std::size_t characters) = 0;
    virtual void append(const char* text) = 0;
    // The platform's save-file dialog; true when the user chose a file, which is then in the buffer.
    virtual bool choose_save_path(char* buffer, std::size_t capacity, const char* title, const char* filter,
                                  const char* default_extension) = 0;
    virtual void message_box(const char* text, const char* caption, MessageIcon icon) = 0;
};

class LogWindow {
public:
    // Old lines that the log has let go leave the window in batches of at least `trim_batch`
    // characters: taking text from the start of an edit control costs time in proportion to all
    // of its text, so doing it on every refresh would slow an upload with the window open.
    static constexpr std::size_t kDefaultTrimBatch = 512u << 10;
    explicit LogWindow(LogBuffer& buffer, std::size_t trim_batch = kDefaultTrimBatch)
        : buffer_(buffer), trim_batch_(trim_batch)
    {
    }
    LogWindow(const LogWindow&) = delete;
    LogWindow& operator=(const LogWindow&) = delete;

    void OnOpen(LogWindowView& view); // the system-menu command
    void OnRefresh();                 // a timer while the window is visible: catch up with the log
    void OnSave();                    // "Save As..."
    void OnClose();                   // "Close", and the window's own close box: hides it
    void OnDestroyed();               // the window went with its owner

    bool visible() const { return visible_; }

private:
    LogBuffer& buffer_;
    const std::size_t trim_batch_;
    LogWindowView* view_ = nullptr;
    bool visible_ = false;
    std::uint64_t shown_first_ = 0;
    std::uint64_t shown_end_ = 0;
};

// Points the connection's and its port's log at the sink (null: silent again).
void AttachDiagnosticLog(DeviceConnection& connection, LogSink* sink);

// Writes the text to the file, replacing it; false when it could not be written whole.
bool WriteTextFile(const char* path, const std::string& text);
