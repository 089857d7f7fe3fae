#include "log/memory_text_control.h"

#include <algorithm>

std::size_t MemoryTextControl::text_length()
{
    std::lock_guard lock(mutex_);
    return text_.size();
}

void MemoryTextControl::set_selection(std::size_t start, std::size_t end)
{
    std::lock_guard lock(mutex_);
    // An edit control clamps positions past the end and orders the pair.
    start = std::min(start, text_.size());
    end = std::min(end, text_.size());
    selection_start_ = std::min(start, end);
    selection_end_ = std::max(start, end);
}

void MemoryTextControl::replace_selection(const char* text)
{
    std::lock_guard lock(mutex_);
    ++replace_count_;
    const std::string inserted = text != nullptr ? text : "";
    // The selection may be stale if the text shrank since it was set.
    const std::size_t start = std::min(selection_start_, text_.size());
    const std::size_t end = std::min(selection_end_, text_.size());
    text_.replace(start, end - start, inserted);
    selection_start_ = selection_end_ = start + inserted.size();
}

std::string MemoryTextControl::text() const
{
    std::lock_guard lock(mutex_);
    return text_;
}

std::size_t MemoryTextControl::replace_count() const
{
    std::lock_guard lock(mutex_);
    return replace_count_;
}

void MemoryTextControl::clear()
{
    std::lock_guard lock(mutex_);
    text_.clear();
    selection_start_ = selection_end_ = 0;
    replace_count_ = 0;
}

std::vector<std::string> SplitLogLines(const std::string& text)
{
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + 2;
    }
}
