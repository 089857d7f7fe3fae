#include "log/log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

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

void append(TextControl* control, char* text, bool line)
{
    const std::lock_guard<std::mutex> hold(control->append_lock());
    insert_at_end(control, text, line);
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
