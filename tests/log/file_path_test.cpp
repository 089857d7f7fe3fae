// Paths between UTF-8 and the system's wide calls, and files opened by them, on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "log/file_path.h"
#include "log/file_path_win32.h"

namespace {

std::string TempFolderUtf8()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    std::string folder;
    EXPECT_TRUE(n > 0 && Utf8FromWide(std::wstring(buffer, n), &folder));
    return folder;
}

// Folders below the temporary one, made through the wide calls whatever their length.
std::string MakeFolders(const std::string& base, const std::string& name, int depth)
{
    std::string path = base;
    for (int i = 0; i < depth; ++i) {
        path += name + std::to_string(i) + "\\";
        std::wstring wide;
        EXPECT_TRUE(SystemPathFromUtf8(path.c_str(), &wide));
        CreateDirectoryW(wide.c_str(), nullptr);
    }
    return path;
}

} // namespace

TEST(Utf8AndWide, EveryScriptMakesTheRoundTrip)
{
    const std::string text = "C:\\Jürgen\\Загрузки\\李明的文件\\Λήψεις 📦\\x.qfw";
    std::wstring wide;
    ASSERT_TRUE(WideFromUtf8(text, &wide));
    EXPECT_EQ(wide, L"C:\\J\u00fcrgen\\\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438\\\u674e\u660e\u7684"
                    L"\u6587\u4ef6\\\u039b\u03ae\u03c8\u03b5\u03b9\u03c2 \U0001F4E6\\x.qfw");
    std::string back;
    ASSERT_TRUE(Utf8FromWide(wide, &back));
    EXPECT_EQ(back, text);
}

TEST(Utf8AndWide, TextThatIsNotUnicodeIsRefusedNotReplaced)
{
    std::wstring wide = L"kept";
    EXPECT_FALSE(WideFromUtf8("caf\xe9.qfw", &wide)); // a code-page byte, not UTF-8
    EXPECT_FALSE(WideFromUtf8("\xc0\xaf", &wide));    // an overlong slash
    std::string text;
    EXPECT_FALSE(Utf8FromWide(std::wstring(L"a") + wchar_t(0xD800) + L"b", &text)); // a lone surrogate
    EXPECT_TRUE(WideFromUtf8("", &wide));
    EXPECT_TRUE(wide.empty());
}

TEST(SystemPath, ShortPathsAndDevicesAreLeftAsTheyAre)
{
    EXPECT_EQ(SystemPath(L"C:\\pkg\\a.qfw"), L"C:\\pkg\\a.qfw");
    EXPECT_EQ(SystemPath(L"relative\\a.qfw"), L"relative\\a.qfw");
    EXPECT_EQ(SystemPath(L"\\\\.\\COM3"), L"\\\\.\\COM3");
    const std::wstring prefixed = L"\\\\?\\C:\\" + std::wstring(400, L'a');
    EXPECT_EQ(SystemPath(prefixed), prefixed);
}

TEST(SystemPath, ALongPathBecomesTheFullPathInItsLiteralForm)
{
    const std::wstring deep =
        L"C:\\pkg\\" + std::wstring(150, L'a') + L"\\..\\" + std::wstring(150, L'b') + L"/c.qfw";
    // Taken literally, so "..", "/" and the drive are resolved first.
    EXPECT_EQ(SystemPath(deep), L"\\\\?\\C:\\pkg\\" + std::wstring(150, L'b') + L"\\c.qfw");
    const std::wstring share = L"\\\\server\\share\\" + std::wstring(300, L'd') + L"\\e.qfw";
    EXPECT_EQ(SystemPath(share), L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'd') + L"\\e.qfw");
}

TEST(OpenFileByPath, WritesAndReadsAFileInAFolderNamedInAnotherScriptBeyondTheClassicLimit)
{
    const std::string folder = MakeFolders(TempFolderUtf8(), "Λήψεις 📦 Загрузки 李明的文件 ", 8);
    const std::string path = folder + "прошивка.txt";
    ASSERT_GT(path.size(), 300u);
    std::FILE* out = OpenFileByPath(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_GE(std::fputs("whole", out), 0);
    std::fclose(out);
    std::FILE* in = OpenFileByPath(path.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, in), 5u);
    std::fclose(in);
    EXPECT_STREQ(text, "whole");
    // The name as given, not a cut one: the folder holds exactly that file.
    std::wstring wide;
    ASSERT_TRUE(SystemPathFromUtf8(path.c_str(), &wide));
    EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileW(wide.c_str());
}

TEST(OpenFileByPath, APathThatIsNotUtf8OpensNothing)
{
    EXPECT_EQ(OpenFileByPath("caf\xe9.txt", "wb"), nullptr);
}
