// The log kept in memory for the log window: its size bound, whole lines only, the same text as
// an edit control would hold, and a reader that catches up with it in steps.
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "log/log_buffer.h"
#include "tests/log/memory_text_control.h"

namespace {

std::string Join(const std::vector<std::string>& lines, std::size_t from)
{
    std::string text;
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (i != from)
            text += "\r\n";
        text += lines[i];
    }
    return text;
}

// A window's copy of the text, kept up to date the way the log window does it.
struct Reader {
    std::string shown;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    int resets = 0;

    void catch_up(const LogBuffer& buffer)
    {
        const LogBuffer::Changes changes = buffer.changes_since(first, end);
        if (changes.reset) {
            shown = changes.text;
            ++resets;
        } else {
            shown.erase(0, changes.drop_front);
            shown += changes.text;
        }
        first = changes.first;
        end = changes.end;
    }
};

TEST(LogBufferTest, KeepsTheNewestWholeLinesWithinItsCapacity)
{
    constexpr std::size_t kCapacity = 1000;
    LogBuffer buffer(kCapacity);
    LogSink sink{&buffer};
    std::vector<std::string> lines;
    std::size_t oldest = 0;
    for (int i = 0; i < 400; ++i) {
        // Lengths vary, and some lines hold a CR LF of their own: they stay whole as well.
        std::string line =
            "QBKorvane: line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 37), '#');
        if (i % 11 == 0)
            line += "\r\nsecond part of " + std::to_string(i);
        log_line(&sink, "%s", line.c_str());
        lines.push_back(line);
        // The oldest lines that no longer fit have gone, and no others.
        while (Join(lines, oldest).size() > kCapacity)
            ++oldest;
        ASSERT_EQ(buffer.text(), Join(lines, oldest)) << "after line " << i;
        ASSERT_EQ(buffer.text_length(), buffer.text().size());
    }
    EXPECT_GT(oldest, 300u);
}

TEST(LogBufferTest, DefaultCapacityIsFourMebibytes)
{
    LogBuffer buffer;
    LogSink sink{&buffer};
    const std::string line(1000, 'x');
    for (int i = 0; i < 5000; ++i) // about 5 MB
        log_line(&sink, "%05i %s", i, line.c_str());
    const std::string text = buffer.text();
    EXPECT_LE(text.size(), 4u << 20);
    EXPECT_GT(text.size(), (4u << 20) - 1010);
    EXPECT_EQ(text.compare(text.size() - 1006, 6, "04999 "), 0);
    EXPECT_EQ(text.find("\r\n"), 1006u); // starts with a whole line
}

TEST(LogBufferTest, HoldsWhatAnEditControlWouldHold)
{
    LogBuffer buffer;
    MemoryTextControl control;
    const std::uint8_t frame[] = {'f',  0x00, 0x01, 0x00, 0x01, 0x7F, 0x80, 0xFF, ' ', '~',
                                  0x0A, 0x0D, 'A',  'B',  'C',  'D',  'E',  'F',  'G'};
    for (TextControl* target : {static_cast<TextControl*>(&buffer), static_cast<TextControl*>(&control)}) {
        LogSink sink{target};
        log_line(&sink, "QBKorvane: Ident %s", "Korvane v2.20.A");
        log_hex_dump(&sink, "QBSerial: Write", frame, sizeof frame);
        log_hex_dump(&sink, "QBSerial: Read", frame, 1);
        log_line(&sink, "FirmwareUpdateProc completed with result: %i", -15);
    }
    EXPECT_EQ(buffer.text(), control.text());
}

TEST(LogBufferTest, AReaderCatchesUpInStepsAndStartsOverWhenLeftBehind)
{
    LogBuffer buffer(600);
    LogSink sink{&buffer};
    Reader reader;
    reader.catch_up(buffer);
    EXPECT_EQ(reader.shown, "");
    for (int i = 0; i < 300; ++i) {
        log_line(&sink, "line %03i %s", i, i % 3 == 0 ? "with some more text" : "");
        if (i % 4 == 0) {
            reader.catch_up(buffer);
            ASSERT_EQ(reader.shown, buffer.text()) << "after line " << i;
        }
    }
    EXPECT_EQ(reader.resets, 0); // old lines went, but never past what the reader had
    // A reader that slept through more than the whole capacity starts over.
    for (int i = 0; i < 100; ++i)
        log_line(&sink, "later line %03i", i);
    reader.catch_up(buffer);
    EXPECT_EQ(reader.resets, 1);
    EXPECT_EQ(reader.shown, buffer.text());
}

TEST(LogBufferTest, ThreadsAppendWholeLinesWhileAReaderFollows)
{
    LogBuffer buffer(20000);
    LogSink sink{&buffer};
    constexpr int kLines = 3000;
    auto writer = [&](char tag) {
        for (int i = 0; i < kLines; ++i)
            log_line(&sink, "%c %05i %c%c%c%c", tag, i, tag, tag, tag, tag);
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    Reader reader;
    for (int i = 0; i < 200; ++i)
        reader.catch_up(buffer);
    a.join();
    b.join();
    reader.catch_up(buffer);
    const std::string text = buffer.text();
    EXPECT_EQ(reader.shown, text);
    const std::vector<std::string> lines = SplitLogLines(text);
    ASSERT_GT(lines.size(), 1000u);
    // Old lines go from the front only: what is kept of each writer is a run without gaps, and
    // the text ends with the last line of one of them.
    int last[2] = {-1, -1};
    for (const std::string& line : lines) {
        ASSERT_EQ(line.size(), 12u) << line;
        const char tag = line[0];
        ASSERT_TRUE(tag == 'a' || tag == 'b') << line;
        EXPECT_EQ(line.substr(8), std::string(4, tag)) << line;
        const int n = std::stoi(line.substr(2, 5));
        if (last[tag - 'a'] >= 0) {
            EXPECT_EQ(n, last[tag - 'a'] + 1) << line;
        }
        last[tag - 'a'] = n;
    }
    EXPECT_EQ(std::stoi(lines.back().substr(2, 5)), kLines - 1);
}

} // namespace
