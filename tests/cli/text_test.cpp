// Outside text (port names, descriptions, paths) on the terminal and in JSON.
#include <gtest/gtest.h>

#include <string>

#include "cli/json.h"
#include "cli/shown_text.h"

namespace {

bool IsUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

TEST(ShownText, ControlsAndBytesThatAreNotUtf8AreEscaped)
{
    EXPECT_EQ(Shown("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(Shown("\x1b[2J\x07\x7f"), "\\e[2J\\x07\\x7F");
    EXPECT_EQ(Shown("x\xc2\x9b"
                    "31m"),
              "x\\u009b31m"); // C1 CSI
    EXPECT_EQ(Shown("caf\xe9 \xff\xfe"), "caf\\xE9 \\xFF\\xFE");
    EXPECT_EQ(Shown("\xe2\x82"), "\\xE2\\x82");          // cut short
    EXPECT_EQ(Shown("\xc0\xaf"), "\\xC0\\xAF");          // overlong '/'
    EXPECT_EQ(Shown("\xed\xa0\x80"), "\\xED\\xA0\\x80"); // a surrogate
    EXPECT_EQ(Shown(std::string("a\0b", 3)), "a\\x00b");
}

TEST(ShownText, EveryScriptStaysAsItIs)
{
    for (const char* text : {"/dev/ttyUSB0", "C:\\Users\\J\xc3\xbcrgen", "\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80",
                             "\xe6\x9d\x8e\xe6\x98\x8e", "\xce\x9b \xf0\x9f\x93\xa6", "\xc2\xa0nbsp"})
        EXPECT_EQ(Shown(text), text);
}

TEST(JsonString, BytesThatAreNotUtf8StayTellableAndTheTextValid)
{
    EXPECT_EQ(JsonString("x\xff"), "\"x\\\\xFF\"");
    EXPECT_NE(JsonString("caf\xe9"), JsonString("caf\xe8"));
    EXPECT_EQ(JsonString("\xf0\x9f\x93\xa6\x01"), "\"\xf0\x9f\x93\xa6\\u0001\"");
    std::string every_byte;
    for (int b = 0; b < 256; ++b)
        every_byte += static_cast<char>(b);
    EXPECT_TRUE(IsUtf8(JsonString(every_byte)));
    EXPECT_TRUE(IsUtf8(JsonObject().add("port", every_byte).text()));
}

} // namespace
