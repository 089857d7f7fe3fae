// Shared pieces of the device tests: a folder of COM links, an in-memory log and a few helpers.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "log/log.h"
#include "tests/log/memory_text_control.h"

namespace kvtest {

// A private folder of COM links: \\.\COMn opens <path>/comn through make_serial_backend(path()).
// It is also put in $KV_COM_DIR for the tests that build a connection with the default backend.
class ComDir {
public:
    ComDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvdev.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
        ::setenv("KV_COM_DIR", path_.c_str(), 1);
    }
    ~ComDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ComDir(const ComDir&) = delete;
    ComDir& operator=(const ComDir&) = delete;

    std::string link(int n) const { return path_ + "/com" + std::to_string(n); }
    void unlink(int n) const { std::filesystem::remove(link(n)); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Device path of COM port n as the connection formats it.
inline std::string ComPath(int n) { return "\\\\.\\COM" + std::to_string(n); }

// An edit control in memory: keeps the text and the caret like the real control. Appends from
// two threads are serialised.
class MemoryLog : public TextControl {
public:
    std::size_t text_length() override
    {
        std::lock_guard lock(mutex_);
        return text_.size();
    }
    void set_selection(std::size_t start, std::size_t) override
    {
        std::lock_guard lock(mutex_);
        caret_ = start < text_.size() ? start : text_.size();
    }
    void replace_selection(const char* value) override
    {
        std::lock_guard lock(mutex_);
        text_.insert(caret_, value);
        caret_ += std::char_traits<char>::length(value);
    }

    std::string text() const
    {
        std::lock_guard lock(mutex_);
        return text_;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        text_.clear();
        caret_ = 0;
    }
    // The text split at CR LF. Lines that hold CR LF of their own come out as several.
    std::vector<std::string> lines() const { return SplitLogLines(text()); }

    LogSink sink{this};

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::size_t caret_ = 0;
};

using Bytes = std::vector<std::uint8_t>;

inline double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace kvtest
