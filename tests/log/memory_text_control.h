// Test support: a TextControl that keeps its text in memory, with the selection rules of an edit
// control, so that tests read what the log wrote.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

// The lines of a log text: the pieces between CR LF separators (none for an empty text).
inline std::vector<std::string> SplitLogLines(const std::string& text)
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

// Each operation is atomic, so threads may log into one instance at the same time.
class MemoryTextControl final : public TextControl {
public:
    std::size_t text_length() override
    {
        std::lock_guard lock(mutex_);
        return text_.size();
    }
    void set_selection(std::size_t start, std::size_t end) override
    {
        std::lock_guard lock(mutex_);
        // An edit control clamps positions past the end and orders the pair.
        start = std::min(start, text_.size());
        end = std::min(end, text_.size());
        selection_start_ = std::min(start, end);
        selection_end_ = std::max(start, end);
    }
    void replace_selection(const char* text) override
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

    std::string text() const
    {
        std::lock_guard lock(mutex_);
        return text_;
    }
    // Number of replace_selection calls so far.
    std::size_t replace_count() const
    {
        std::lock_guard lock(mutex_);
        return replace_count_;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        text_.clear();
        selection_start_ = selection_end_ = 0;
        replace_count_ = 0;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::size_t selection_start_ = 0;
    std::size_t selection_end_ = 0;
    std::size_t replace_count_ = 0;
};
