// Diagnostic log: formatted trace lines and hex dumps appended to a multi-line text control.
#pragma once

#include <cstddef>
#include <deque>
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

    // True when the calling thread is the one that handles the control's messages.
    virtual bool called_from_owner_thread() { return false; }

    // How appends from several threads are kept apart; used by the log functions only.
    //
    // An append is three calls, made with `lock` held so that texts cannot land inside each
    // other. The owner thread never waits for `lock`: its holder may be waiting for the owner to
    // handle a message, and handling other messages meanwhile would run dialog code inside a log
    // call. When `lock` is taken, the owner queues its text instead, and every thread that lets
    // go of `lock` appends what is still queued.
    struct AppendState {
        struct Pending {
            std::string text; // a line keeps two spare bytes in front for its separator
            bool line = false;
        };
        std::mutex lock;
        std::mutex queue_lock;
        std::deque<Pending> queue;
    };
    AppendState& append_state() { return append_state_; }

private:
    AppendState append_state_;
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
