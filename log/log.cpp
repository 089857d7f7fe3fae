#include "log/log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace {

constexpr std::size_t kDumpBytesPerLine = 16;
constexpr std::size_t kDumpLineCapacity = 256;

bool printable(std::uint8_t byte)
{
    // The C locale's isprint, independent of whatever locale the process runs in.
    return byte >= 0x20 && byte <= 0x7E;
}

// Puts the text at the end. A line goes after a CR LF unless the control is empty; `text` then
// starts with two spare bytes for that separator, so that both go in with one replacement.
void insert_at_end(TextControl* control, char* text, bool line)
{
    const std::size_t end = control->text_length();
    control->set_selection(end, end);
    if (!line) {
        control->replace_selection(text);
    } else if (end != 0) {
        text[0] = '\r';
        text[1] = '\n';
        control->replace_selection(text);
    } else {
        control->replace_selection(text + 2);
    }
}

// With the append lock held: appends what the owner thread queued, in order.
void append_queue(TextControl* control, TextControl::AppendState& state)
{
    for (;;) {
        TextControl::AppendState::Pending next;
        {
            const std::lock_guard<std::mutex> hold(state.queue_lock);
            if (state.queue.empty()) {
                return;
            }
            next = std::move(state.queue.front());
            state.queue.pop_front();
        }
        insert_at_end(control, next.text.data(), next.line);
    }
}

// Appends the queue unless another thread holds the append lock; that thread then appends it
// after letting go, since every thread looks at the queue after letting go.
void append_queue_if_free(TextControl* control, TextControl::AppendState& state)
{
    for (;;) {
        {
            const std::lock_guard<std::mutex> hold(state.queue_lock);
            if (state.queue.empty()) {
                return;
            }
        }
        std::unique_lock<std::mutex> hold(state.lock, std::try_to_lock);
        if (!hold.owns_lock()) {
            return;
        }
        append_queue(control, state);
    }
}

// The control this thread is appending to, for a text logged into it from inside an append (say,
// by a handler of its change notifications): that text is queued, and the append under way
// picks it up.
thread_local TextControl* t_appending_to = nullptr;

class AppendingScope {
public:
    explicit AppendingScope(TextControl* control) : outer_(t_appending_to) { t_appending_to = control; }
    ~AppendingScope() { t_appending_to = outer_; }
    AppendingScope(const AppendingScope&) = delete;
    AppendingScope& operator=(const AppendingScope&) = delete;

private:
    TextControl* outer_;
};

void append(TextControl* control, char* text, bool line)
{
    TextControl::AppendState& state = control->append_state();
    const bool nested = t_appending_to == control;
    if (nested || control->called_from_owner_thread()) {
        {
            const std::lock_guard<std::mutex> hold(state.queue_lock);
            state.queue.push_back({text, line});
        }
        if (!nested) {
            const AppendingScope scope(control);
            append_queue_if_free(control, state);
        }
        return;
    }
    const AppendingScope scope(control);
    {
        const std::lock_guard<std::mutex> hold(state.lock);
        append_queue(control, state);
        insert_at_end(control, text, line);
        append_queue(control, state);
    }
    append_queue_if_free(control, state);
}

} // namespace

void append_text(TextControl* control, const char* text)
{
    if (control == nullptr || text == nullptr) {
        return;
    }
    std::string copy(text);
    append(control, copy.data(), false);
}

void log_line(const LogSink* sink, const char* format, ...)
{
    if (sink == nullptr || sink->edit_control == nullptr || format == nullptr) {
        return;
    }
    // Two spare bytes in front for the CR LF separator.
    char buffer[2 + kLogLineCapacity];
    buffer[0] = ' ';
    buffer[1] = ' ';
    char* const line = buffer + 2;
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, kLogLineCapacity, format, args);
    va_end(args);
    line[kLogLineCapacity - 1] = '\0';
    append(sink->edit_control, buffer, true);
}

void log_hex_dump(const LogSink* sink, const char* title, const void* data, std::size_t length)
{
    if (sink == nullptr || sink->edit_control == nullptr || data == nullptr || length == 0) {
        return;
    }
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    if (title != nullptr) {
        // As text, never as a format: a '%' in a title must not read arguments that are not there.
        log_line(sink, "%s", title);
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t offset = 0; offset < length; offset += kDumpBytesPerLine) {
        const std::size_t n = length - offset < kDumpBytesPerLine ? length - offset : kDumpBytesPerLine;
        // The "%04X: " offset is formatted here: the width of a size_t conversion differs
        // between C runtimes, and a dump past 4 GiB must not wrap.
        char text[kDumpLineCapacity];
        std::size_t pos = 0;
        char digits[2 * sizeof(std::size_t)];
        std::size_t digit_count = 0;
        for (std::size_t value = offset; value != 0 || digit_count < 4; value >>= 4) {
            digits[digit_count++] = kHexDigits[value & 0x0F];
        }
        while (digit_count != 0) {
            text[pos++] = digits[--digit_count];
        }
        text[pos++] = ':';
        text[pos++] = ' ';
        for (std::size_t i = 0; i < kDumpBytesPerLine; ++i) {
            if (i < n) {
                text[pos++] = kHexDigits[bytes[offset + i] >> 4];
                text[pos++] = kHexDigits[bytes[offset + i] & 0x0F];
            } else {
                text[pos++] = ' ';
                text[pos++] = ' ';
            }
            text[pos++] = ' ';
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t byte = bytes[offset + i];
            text[pos++] = printable(byte) ? static_cast<char>(byte) : '.';
        }
        text[pos] = '\0';
        log_line(sink, "%s", text);
    }
}
