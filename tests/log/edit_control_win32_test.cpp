// The log into a real multi-line edit control, from the control's own thread and from another.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "log/edit_control_win32.h"
#include "log/log.h"
#include "tests/log/memory_text_control.h"
#include "tests/log/three_writers.h"

namespace {

class EditControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        edit_ = CreateWindowExA(0, "EDIT", "", WS_POPUP | ES_MULTILINE | ES_AUTOVSCROLL, 0, 0, 400, 300,
                                nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(edit_, nullptr) << "no edit control: " << GetLastError();
        // The default limit of 30000 characters would cut the long-text case short.
        SendMessageA(edit_, EM_SETLIMITTEXT, 0, 0);
    }
    void TearDown() override
    {
        if (edit_ != nullptr) {
            DestroyWindow(edit_);
        }
    }

    std::string text() const
    {
        const int length = GetWindowTextLengthA(edit_);
        std::string result(static_cast<std::size_t>(length) + 1, '\0');
        GetWindowTextA(edit_, result.data(), length + 1);
        result.resize(static_cast<std::size_t>(length));
        return result;
    }

    HWND edit_ = nullptr;
};

TEST_F(EditControlTest, LinesAndDumpsLandAsInMemory)
{
    EditControlWin32 control(edit_);
    LogSink sink{&control};
    log_line(&sink, "QBSerial: %s opened at %i baud", "\\\\.\\COM3", 115200);
    const unsigned char bytes[] = {0x41, 0x42, 0x0A};
    log_hex_dump(&sink, "QBSerial: Read", bytes, sizeof bytes);
    EXPECT_EQ(text(), "QBSerial: \\\\.\\COM3 opened at 115200 baud\r\nQBSerial: Read\r\n"
                      "0000: 41 42 0A " +
                          std::string(39, ' ') + "AB.");
    EXPECT_EQ(SendMessageA(edit_, EM_CANUNDO, 0, 0), 0) << "appending must not be undoable";
}

TEST_F(EditControlTest, WorkersAndTheOwnerLogAtOnceWithoutMixingOrDeadlock)
{
    EditControlWin32 control(edit_);
    LogSink sink{&control};
    // Each round starts from an empty control, where the first line goes in without a separator:
    // a line placed on a length read before another thread's line would run into it.
    for (int round = 0; round < 8; ++round) {
        SetWindowTextA(edit_, "");
        // Sent messages are handled only while this thread takes messages; it logs in between.
        LogFromThreeWriters(&sink, [](auto log_own) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&msg);
            }
            log_own();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT | QS_SENDMESSAGE);
        });
        ASSERT_EQ(ThreeWritersFault(text()), "") << "round " << round;
    }
}

} // namespace
