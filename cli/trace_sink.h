// The diagnostic log written to a stream (standard error or a file), one line per log line.
#pragma once

#include <cstddef>
#include <cstdio>

#include "log/log.h"

class StreamTextControl final : public TextControl {
public:
    explicit StreamTextControl(std::FILE* out) : out_(out) {}
    std::size_t text_length() override { return written_; }
    void set_selection(std::size_t, std::size_t) override {}
    void replace_selection(const char* text) override;

private:
    std::FILE* out_;
    std::size_t written_ = 0;
};
