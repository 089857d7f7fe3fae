// The diagnostic log kept in memory: the last lines of the session, bounded in size.
//
// Loggers on any thread append under one short lock and never wait for a window. A reader (the
// log window) asks now and then what changed since it last looked and catches up in one step,
// so the cost of showing the log does not grow with the number of lines logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "log/log.h"

class LogBuffer final : public TextControl {
public:
    static constexpr std::size_t kDefaultCapacity = 4u << 20; // 4 MiB of text

    explicit LogBuffer(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    // The log only ever appends at the end, so the selection is always there.
    std::size_t text_length() override;
    void set_selection(std::size_t, std::size_t) override {}
    // Appends. When the text grows past the capacity, whole old lines go (with the separator
    // that followed them), never part of one.
    void replace_selection(const char* text) override;

    // The text kept now.
    std::string text() const;

    // Positions count every character ever appended, so they stay valid while old lines go.
    // A reader shows the text from `first` to `end`; changes_since tells it how to catch up.
    struct Changes {
        bool reset = false;         // replace everything shown with `text`
        std::size_t drop_front = 0; // otherwise: remove this many characters from the start,
        std::string text;           // and append this
        std::uint64_t first = 0;    // what the reader then shows
        std::uint64_t end = 0;
    };
    Changes changes_since(std::uint64_t shown_first, std::uint64_t shown_end) const;

private:
    struct Piece {
        std::uint64_t start; // position of its first character
        std::string text;
    };

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<Piece> pieces_;
    std::uint64_t first_ = 0; // position of the first character kept
    std::uint64_t end_ = 0;   // position after the last character
};
