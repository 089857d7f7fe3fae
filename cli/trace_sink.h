// The diagnostic log written to a stream (standard error or a file), one line per log line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "log/log.h"

class StreamTextControl final : public TextControl {
public:
    // A failure to write `out` is said once on `report_to` (null: nowhere), and tracing goes on.
    explicit StreamTextControl(std::FILE* out, std::FILE* report_to = nullptr)
        : out_(out), report_to_(report_to)
    {
    }
    // One of several writing to `out` (a device each): every line starts with `prefix`, and
    // lines go out whole, one at a time under `lock`.
    StreamTextControl(std::FILE* out, std::FILE* report_to, std::string prefix, std::mutex& lock)
        : out_(out), report_to_(report_to), prefix_(std::move(prefix)), lock_(&lock)
    {
    }
    std::size_t text_length() override { return written_; }
    void set_selection(std::size_t, std::size_t) override {}
    void replace_selection(const char* text) override;

private:
    std::FILE* out_;
    std::FILE* report_to_;
    std::string prefix_;
    std::mutex* lock_ = nullptr;
    std::size_t written_ = 0;
    bool failure_reported_ = false;
};
