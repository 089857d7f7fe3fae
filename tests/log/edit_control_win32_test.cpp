// The log into a real multi-line edit control, from the control's own thread and from another.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log/edit_control_win32.h"
#include "log/log.h"

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

TEST_F(EditControlTest, AnotherThreadsLinesArriveWhileTheOwnerPumpsMessages) {
    EditControlWin32 control(edit_);
    LogSink sink{&control};
    log_line(&sink, "owner");
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) {
            log_line(&sink, "worker %i", i);
        }
        done = true;
    });
    // SendMessage from the worker is handled only while this thread takes messages.
    while (!done) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT | QS_SENDMESSAGE);
    }
    worker.join();
    std::string expected = "owner";
    for (int i = 0; i < 50; ++i) {
        expected += "\r\nworker " + std::to_string(i);
    }
    EXPECT_EQ(text(), expected);
}

} // namespace
