// Diagnostic log: formatted trace lines and hex dumps appended to a multi-line text control.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

// The few operations of a multi-line edit control that appending needs. A Win32 edit control
// and an in-memory text implement it.
class TextControl {
public:
    virtual ~TextControl() = default;
    virtual std::size_t text_length() = 0;                              // WM_GETTEXTLENGTH
    virtual void set_selection(std::size_t start, std::size_t end) = 0; // EM_SETSEL
    virtual void replace_selection(const char* text) = 0;               // EM_REPLACESEL, not undoable

    // An append is three calls, made with this lock held so that texts from several threads
    // cannot land inside each other. Used by the log functions only.
    std::mutex& append_lock() { return append_lock_; }

private:
    std::mutex append_lock_;
};

// Target of the log. A null sink, or one without a control, makes the log silent.
struct LogSink {
    TextControl* edit_control = nullptr;
};

inline constexpr std::size_t kLogLineCapacity = 4096; // 4095 characters and the terminator

#if defined(__GNUC__)
#define KV_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KV_PRINTF_FORMAT(fmt, args)
#endif

// printf-style line; longer text is cut to 4095 characters. Lines are separated by CR LF.
void log_line(const LogSink* sink, const char* format, ...) KV_PRINTF_FORMAT(2, 3);

// Title line (when a title is given), then the bytes as lines of 16: "%04X: " offset, hex column
// 48 characters wide, printable characters or '.'.
void log_hex_dump(const LogSink* sink, const char* title, const void* data, std::size_t length);

// Puts the caret at the end of the control's text and inserts the text there.
void append_text(TextControl* control, const char* text);
