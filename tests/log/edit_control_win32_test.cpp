// The log into a real multi-line edit control, from the control's own thread and from another.
#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>
#include <thread>

#include <gtest/gtest.h>

#include "log/edit_control_win32.h"
#include "log/log.h"
#include "log/memory_text_control.h"

namespace {

class EditControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        edit_ = CreateWindowExA(0, "EDIT", "", WS_POPUP | ES_MULTILINE | ES_AUTOVSCROLL, 0, 0, 400,
                                300, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(edit_, nullptr) << "no edit control: " << GetLastError();
        // The default limit of 30000 characters would cut the long-text case short.
        SendMessageA(edit_, EM_SETLIMITTEXT, 0, 0);
    }
    void TearDown() override {
        if (edit_ != nullptr) {
            DestroyWindow(edit_);
        }
    }

    std::string text() const {
        const int length = GetWindowTextLengthA(edit_);
        std::string result(static_cast<std::size_t>(length) + 1, '\0');
        GetWindowTextA(edit_, result.data(), length + 1);
        result.resize(static_cast<std::size_t>(length));
        return result;
    }

    HWND edit_ = nullptr;
};

TEST_F(EditControlTest, LinesAndDumpsLandAsInMemory) {
    EditControlWin32 control(edit_);
    LogSink sink{&control};
    log_line(&sink, "QBSerial: %s opened at %i baud", "\\\\.\\COM3", 115200);
    const unsigned char bytes[] = {0x41, 0x42, 0x0A};
    log_hex_dump(&sink, "QBSerial: Read", bytes, sizeof bytes);
    EXPECT_EQ(text(), "QBSerial: \\\\.\\COM3 opened at 115200 baud\r\nQBSerial: Read\r\n"
                      "0000: 41 42 0A " + std::string(39, ' ') + "AB.");
    EXPECT_EQ(SendMessageA(edit_, EM_CANUNDO, 0, 0), 0) << "appending must not be undoable";
}

TEST_F(EditControlTest, WorkersAndTheOwnerLogAtOnceWithoutMixingOrDeadlock) {
    EditControlWin32 control(edit_);
    LogSink sink{&control};
    constexpr int kLines = 30;
    // Each round starts from an empty control, where the first line goes in without a separator:
    // a line placed on a length read before another thread's line would run into it.
    for (int round = 0; round < 8; ++round) {
        SetWindowTextA(edit_, "");
        std::atomic<int> running{2};
        auto worker = [&](char tag) {
            for (int i = 0; i < kLines; ++i) {
                log_line(&sink, "%c %i", tag, i);
            }
            --running;
        };
        std::thread a(worker, 'a');
        std::thread b(worker, 'b');
        // Sent messages are handled only while this thread takes messages; it logs in between.
        int own = 0;
        while (running > 0) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&msg);
            }
            if (own < kLines) {
                log_line(&sink, "o %i", own++);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT | QS_SENDMESSAGE);
        }
        a.join();
        b.join();
        while (own < kLines) {
            log_line(&sink, "o %i", own++);
        }

        const std::vector<std::string> lines = SplitLogLines(text());
        std::multiset<std::string> seen(lines.begin(), lines.end());
        ASSERT_EQ(lines.size(), 3u * kLines) << "round " << round << ":\n" << text();
        for (char tag : {'a', 'b', 'o'}) {
            for (int i = 0; i < kLines; ++i) {
                const std::string expected = std::string(1, tag) + " " + std::to_string(i);
                ASSERT_EQ(seen.count(expected), 1u) << "round " << round << ": " << expected;
            }
        }
    }
}

} // namespace
