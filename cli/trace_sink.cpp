#include "cli/trace_sink.h"

#include <cerrno>
#include <cstring>

void StreamTextControl::replace_selection(const char* text)
{
    // The log puts CR LF in front of every line but the first; a stream wants each line ended
    // instead, and plain LF inside lines too.
    if (std::strncmp(text, "\r\n", 2) == 0)
        text += 2;
    std::string lines = prefix_;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '\r' && p[1] == '\n')
            continue;
        lines += *p;
        if (*p == '\n' && p[1] != '\0')
            lines += prefix_;
    }
    lines += '\n';
    std::unique_lock<std::mutex> hold;
    if (lock_ != nullptr)
        hold = std::unique_lock<std::mutex>(*lock_);
    std::fwrite(lines.data(), 1, lines.size(), out_);
    errno = 0;
    if ((std::fflush(out_) != 0 || std::ferror(out_) != 0) && !failure_reported_ && report_to_ != nullptr) {
        failure_reported_ = true;
        std::fprintf(report_to_, "korvane-update: the trace could not be written (%s); going on without it\n",
                     std::strerror(errno != 0 ? errno : EIO));
    }
    written_ += std::strlen(text) + 2;
}
