// A TextControl that keeps its text in memory, with the selection rules of an edit control.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

// The lines of a log text: the pieces between CR LF separators (none for an empty text).
std::vector<std::string> SplitLogLines(const std::string& text);

// Each operation is atomic, so threads may log into one instance at the same time.
class MemoryTextControl final : public TextControl {
public:
    std::size_t text_length() override;
    void set_selection(std::size_t start, std::size_t end) override;
    void replace_selection(const char* text) override;

    std::string text() const;
    std::size_t replace_count() const; // number of replace_selection calls so far
    void clear();

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::size_t selection_start_ = 0;
    std::size_t selection_end_ = 0;
    std::size_t replace_count_ = 0;
};
