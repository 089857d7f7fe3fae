#include "log/log_buffer.h"

#include <new>

std::size_t LogBuffer::text_length()
{
    const std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<std::size_t>(end_ - first_);
}

void LogBuffer::replace_selection(const char* text)
{
    if (text == nullptr || text[0] == '\0')
        return;
    try {
        Piece piece{0, text};
        const std::lock_guard<std::mutex> hold(mutex_);
        piece.start = end_;
        end_ += piece.text.size();
        pieces_.push_back(std::move(piece));
        // Keep the newest line even if it alone were larger than the capacity: lines are never cut.
        while (end_ - first_ > capacity_ && pieces_.size() > 1) {
            pieces_.pop_front();
            first_ = pieces_.front().start;
            // The line now first was appended after a separator; that separator goes too.
            if (pieces_.front().text.compare(0, 2, "\r\n") == 0)
                first_ += 2;
        }
    } catch (const std::bad_alloc&) {
        // Nothing depends on the log: a line that finds no memory is lost, the program goes on.
    }
}

std::string LogBuffer::text() const { return changes_since(0, 0).text; }

LogBuffer::Changes LogBuffer::changes_since(std::uint64_t shown_first, std::uint64_t shown_end) const
{
    Changes changes;
    const std::lock_guard<std::mutex> hold(mutex_);
    changes.first = first_;
    changes.end = end_;
    std::uint64_t from = shown_end;
    // Shown text that is not a stretch of what was appended, or that ends before what is kept,
    // cannot be caught up with: the reader starts over.
    if (shown_first > shown_end || shown_end > end_ || shown_end < first_ || shown_first > first_) {
        changes.reset = true;
        from = first_;
    } else {
        changes.drop_front = static_cast<std::size_t>(first_ - shown_first);
    }
    // Pieces hold consecutive ranges; find the one that holds `from`, then copy to the end.
    std::size_t i = pieces_.size();
    while (i > 0 && pieces_[i - 1].start > from)
        --i;
    changes.text.reserve(static_cast<std::size_t>(end_ - from));
    for (std::size_t k = i == 0 ? 0 : i - 1; k < pieces_.size(); ++k) {
        const Piece& piece = pieces_[k];
        const std::uint64_t piece_end = piece.start + piece.text.size();
        if (piece_end <= from)
            continue;
        const std::size_t skip = static_cast<std::size_t>(from > piece.start ? from - piece.start : 0);
        changes.text.append(piece.text, skip, std::string::npos);
    }
    return changes;
}
