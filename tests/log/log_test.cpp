// The diagnostic log's text: line separation, the 4095-character cut, the hex dump layout, the
// silent sink, and threads logging at once.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "tests/log/memory_text_control.h"
#include "tests/log/three_writers.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    MemoryTextControl control_;
    LogSink sink_{&control_};
};

TEST_F(LogTest, LinesAreSeparatedByCrLfOnlyBetweenThem)
{
    log_line(&sink_, "first");
    EXPECT_EQ(control_.text(), "first");
    log_line(&sink_, "QBSerial: %s opened at %i baud", "\\\\.\\COM3", 115200);
    log_line(&sink_, "%c %02X %x %.4X|%5i|%-3s|", 'K', 0x0A, 255, 0x1F, 42, "ab");
    EXPECT_EQ(control_.text(),
              "first\r\nQBSerial: \\\\.\\COM3 opened at 115200 baud\r\nK 0A ff 001F|   42|ab |");
}

TEST_F(LogTest, AppendGoesToTheEndWhereverTheCaretWas)
{
    log_line(&sink_, "one");
    control_.set_selection(0, 2);
    log_line(&sink_, "two");
    EXPECT_EQ(control_.text(), "one\r\ntwo");
    append_text(&control_, "!");
    EXPECT_EQ(control_.text(), "one\r\ntwo!");
}

TEST_F(LogTest, LineTextsKeepTheirOwnCrLf)
{
    log_line(&sink_, "QBKorvane: Checksum mismatch\r\nexpected %02X", 0x5A);
    log_line(&sink_, "%s", "");
    log_line(&sink_, "after");
    EXPECT_EQ(control_.text(), "QBKorvane: Checksum mismatch\r\nexpected 5A\r\n\r\nafter");
}

TEST_F(LogTest, LongLinesAreCutTo4095Characters)
{
    const std::string long_text(5000, 'q');
    log_line(&sink_, "%s", long_text.c_str());
    EXPECT_EQ(control_.text(), std::string(4095, 'q'));
    log_line(&sink_, "%s", std::string(4095, 'r').c_str());
    EXPECT_EQ(control_.text().size(), 4095u + 2u + 4095u);
    log_line(&sink_, "%s", std::string(4096, 's').c_str());
    EXPECT_EQ(SplitLogLines(control_.text()).back(), std::string(4095, 's'));
}

TEST_F(LogTest, ASilencedSinkStopsWritingAndANullSinkIsHarmless)
{
    const std::uint8_t bytes[3] = {1, 2, 3};
    log_line(&sink_, "before");
    // The program silences the log by taking the control off the sink it handed out.
    sink_.edit_control = nullptr;
    log_line(&sink_, "x %s", "y");
    log_hex_dump(&sink_, "QBSerial: Read", bytes, sizeof bytes);
    sink_.edit_control = &control_;
    log_line(&sink_, "after");
    EXPECT_EQ(control_.text(), "before\r\nafter");

    log_line(nullptr, "x %s", "y");
    log_hex_dump(nullptr, "QBSerial: Read", bytes, sizeof bytes);
    append_text(nullptr, "x");
}

TEST_F(LogTest, DumpOfThreeBytes)
{
    const std::uint8_t bytes[] = {0x41, 0x42, 0x0A};
    log_hex_dump(&sink_, "QBSerial: Read", bytes, sizeof bytes);
    EXPECT_EQ(control_.text(), "QBSerial: Read\r\n0000: 41 42 0A " + std::string(39, ' ') + "AB.");
}

TEST_F(LogTest, DumpOfSixteenBytesIsOneLineAndSeventeenAddsASecond)
{
    std::vector<std::uint8_t> bytes(17);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0x30 + i);
    }
    log_hex_dump(&sink_, "QBSerial: Write", bytes.data(), 16);
    EXPECT_EQ(
        SplitLogLines(control_.text()),
        (std::vector<std::string>{"QBSerial: Write", "0000: 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F "
                                                     "0123456789:;<=>?"}));
    control_.clear();
    log_hex_dump(&sink_, "QBSerial: Write", bytes.data(), 17);
    const std::vector<std::string> lines = SplitLogLines(control_.text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "0010: 40 " + std::string(45, ' ') + "@");
}

TEST_F(LogTest, CharacterColumnShowsOnlyPrintableAscii)
{
    const std::uint8_t bytes[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xA0, 0xFF, 0x25, 0x0D};
    log_hex_dump(&sink_, nullptr, bytes, sizeof bytes);
    EXPECT_EQ(control_.text(), "0000: 00 1F 20 7E 7F 80 A0 FF 25 0D " + std::string(18, ' ') + ".. ~....%.");
}

TEST_F(LogTest, DumpOfNothingWritesNoTitle)
{
    const std::uint8_t bytes[1] = {0};
    log_hex_dump(&sink_, "QBSerial: Read", bytes, 0);
    log_hex_dump(&sink_, "QBSerial: Read", nullptr, 5);
    EXPECT_EQ(control_.replace_count(), 0u);
}

TEST_F(LogTest, TitleIsTextNotAFormat)
{
    const std::uint8_t bytes[1] = {0x31};
    log_hex_dump(&sink_, "100% %s %n", bytes, 1);
    EXPECT_EQ(SplitLogLines(control_.text())[0], "100% %s %n");
}

TEST_F(LogTest, OffsetsGrowPastFourDigits)
{
    std::vector<std::uint8_t> bytes(0x10011, 0x61);
    log_hex_dump(&sink_, nullptr, bytes.data(), bytes.size());
    const std::vector<std::string> lines = SplitLogLines(control_.text());
    ASSERT_EQ(lines.size(), 0x1002u);
    EXPECT_EQ(lines[0xFFF].substr(0, 6), "FFF0: ");
    EXPECT_EQ(lines[0x1000].substr(0, 7), "10000: ");
    EXPECT_EQ(lines[0x1001], "10010: 61 " + std::string(45, ' ') + "a");
}

TEST_F(LogTest, TwoThreadsLoggingAtOnceLoseAndMixNothing)
{
    constexpr int kLines = 400;
    auto writer = [this](char tag) {
        for (int i = 0; i < kLines; ++i) {
            if (i % 4 == 0) {
                const std::uint8_t bytes[] = {static_cast<std::uint8_t>(tag), 0x01};
                log_hex_dump(&sink_, nullptr, bytes, sizeof bytes);
            } else {
                log_line(&sink_, "%c line %04i %s", tag, i, std::string(40, tag).c_str());
            }
        }
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();

    const std::vector<std::string> lines = SplitLogLines(control_.text());
    ASSERT_EQ(lines.size(), 2u * kLines);
    std::multiset<std::string> seen(lines.begin(), lines.end());
    for (char tag : {'A', 'B'}) {
        const std::string dump =
            std::string("0000: ") + (tag == 'A' ? "41" : "42") + " 01 " + std::string(42, ' ') + tag + ".";
        EXPECT_EQ(seen.count(dump), static_cast<std::size_t>(kLines / 4)) << dump;
        for (int i = 0; i < kLines; ++i) {
            if (i % 4 != 0) {
                char text[128];
                std::snprintf(text, sizeof text, "%c line %04i %s", tag, i, std::string(40, tag).c_str());
                EXPECT_EQ(seen.count(text), 1u) << text;
            }
        }
    }
}

} // namespace
