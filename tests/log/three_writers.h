// Two worker threads and the control's owner thread logging into one control at once.
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "tests/log/memory_text_control.h"

inline constexpr int kLinesPerWriter = 30;

// Workers 'a' and 'b' log "a 0", "a 1", ... on threads of their own, while this thread, the
// owner, keeps calling step(log_own) until both have finished; log_own logs the owner's next
// line ("o 0", "o 1", ...). The owner's remaining lines follow.
template <typename Step>
void LogFromThreeWriters(const LogSink* sink, Step step)
{
    std::atomic<int> running{2};
    auto worker = [&](char tag) {
        for (int i = 0; i < kLinesPerWriter; ++i) {
            log_line(sink, "%c %i", tag, i);
        }
        --running;
    };
    std::thread a(worker, 'a');
    std::thread b(worker, 'b');
    int own = 0;
    auto log_own = [&] {
        if (own < kLinesPerWriter) {
            log_line(sink, "o %i", own++);
        }
    };
    while (running > 0) {
        step(log_own);
    }
    a.join();
    b.join();
    while (own < kLinesPerWriter) {
        log_own();
    }
}

// Empty when each writer's lines are all in the text, once and whole, and the owner's in order;
// otherwise what is wrong.
inline std::string ThreeWritersFault(const std::string& text)
{
    const std::vector<std::string> lines = SplitLogLines(text);
    if (lines.size() != 3u * kLinesPerWriter) {
        return std::to_string(lines.size()) + " lines:\n" + text;
    }
    const std::multiset<std::string> seen(lines.begin(), lines.end());
    std::vector<std::string> owner_lines;
    for (const std::string& line : lines) {
        if (line[0] == 'o') {
            owner_lines.push_back(line);
        }
    }
    for (int i = 0; i < kLinesPerWriter; ++i) {
        for (const char* tag : {"a ", "b "}) {
            if (seen.count(tag + std::to_string(i)) != 1) {
                return "not once: " + (tag + std::to_string(i));
            }
        }
        const std::string own = "o " + std::to_string(i);
        if (static_cast<std::size_t>(i) >= owner_lines.size() ||
            owner_lines[static_cast<std::size_t>(i)] != own) {
            return "owner's lines out of order at " + own;
        }
    }
    return "";
}
