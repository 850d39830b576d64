// wsprintfA / wvsprintfA: the conversions, flags, widths and precisions the
// log formats rely on, and the 1024-byte limit of the output.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct NumberCase {
    const char* format;
    int value;
    const char* expected;
};

TEST(Wsprintf, Numbers)
{
    const NumberCase cases[] = {
        {"%d", 0, "0"},
        {"%d", -42, "-42"},
        {"%d", 2147483647, "2147483647"},
        {"%d", -2147483647 - 1, "-2147483648"},
        {"%i", 7, "7"},
        {"%u", -1, "4294967295"},
        {"%x", 255, "ff"},
        {"%X", 255, "FF"},
        {"%x", -1, "ffffffff"},
        {"%ld", -5, "-5"},
        {"%lu", 5, "5"},
        {"%lx", 0xabc, "abc"},
        {"%lX", 0xabc, "ABC"},
        {"%hd", -12, "-12"},
        {"%hu", 65535, "65535"},
        {"%5d|", -42, "  -42|"},
        {"%-5d|", -42, "-42  |"},
        {"%05d|", -42, "-0042|"},
        {"%-05d|", 3, "3    |"},
        {"%.4d|", 42, "0042|"},
        {"%8.4d|", 42, "    0042|"},
        {"%08.4d|", 42, "00000042|"},
        {"%.0d|", 0, "0|"},
        {"%.3d|", -1234, "-1234|"},
        {"%#x|", 255, "0xff|"},
        {"%#X|", 255, "0XFF|"},
        {"%#x|", 0, "0x0|"},
        {"%#08x|", 255, "0x000000ff|"}, // the prefix stands outside the width
        {"%-#8x|", 255, "0xff      |"},
        {"%#5x|", 0xab, "   0xab|"},
        {"%#.4x|", 5, "0x0005|"},
        {"%010.4x|", 0xab, "00000000ab|"},
        {"%c|", 'A', "A|"},
        {"%3c|", 'A', "  A|"},
        {"%-3c|", 'A', "A  |"},
        {"%05c|", 'c', "    c|"}, // no zero padding for characters
        {"%%|%d", 1, "%|1"},
        {"%y|%d", 1, "y|1"}, // an unknown type prints its character and uses no argument
    };
    for (const auto& c : cases) {
        char buffer[64];
        memset(buffer, 'Z', sizeof buffer);
        const int stored = wsprintfA(buffer, c.format, c.value);
        EXPECT_STREQ(buffer, c.expected) << c.format;
        EXPECT_EQ(stored, int(strlen(c.expected))) << c.format;
    }
}

struct TextCase {
    const char* format;
    const char* value;
    const char* expected;
};

TEST(Wsprintf, Texts)
{
    const TextCase cases[] = {
        {"%s", "abc", "abc"},
        {"%s|", "", "|"},
        {"%5s|", "abc", "  abc|"},
        {"%-5s|", "abc", "abc  |"},
        {"%05s|", "abc", "  abc|"}, // no zero padding for texts
        {"%.2s|", "abc", "ab|"},
        {"%5.2s|", "abc", "   ab|"},
        {"%.0s|", "abc", "abc|"}, // precision 0 means none
        {"%3s|", "", "   |"},
        {"%hs|", "narrow", "narrow|"},
        {"%s", nullptr, "(null)"},
        {"%.3s", nullptr, "(nu"},
        {"[%s] %s", "\xc8\xce\xce\xf1", "[\xc8\xce\xce\xf1] "}, // GBK bytes pass unchanged
    };
    for (const auto& c : cases) {
        char buffer[64];
        memset(buffer, 'Z', sizeof buffer);
        const int stored = wsprintfA(buffer, c.format, c.value, "");
        EXPECT_STREQ(buffer, c.expected) << c.format;
        EXPECT_EQ(stored, int(strlen(c.expected))) << c.format;
    }
}

TEST(Wsprintf, SeveralArgumentsInOrder)
{
    char buffer[128];
    const int stored = wsprintfA(buffer, "QEK_CORE: %s(%d)(%d) %x", "task", 1, -300000, 0x2a);
    EXPECT_STREQ(buffer, "QEK_CORE: task(1)(-300000) 2a");
    EXPECT_EQ(stored, 29);
}

int Vformat(char* buffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int stored = wvsprintfA(buffer, format, args);
    va_end(args);
    return stored;
}

TEST(Wsprintf, VaListForm)
{
    char buffer[64];
    EXPECT_EQ(Vformat(buffer, "%s: %d", "QELCltCore.exe", 110024), 22);
    EXPECT_STREQ(buffer, "QELCltCore.exe: 110024");
}

// Whatever the arguments, at most 1023 characters and the terminator are
// written; the byte after them is left alone.
TEST(Wsprintf, OutputStopsAt1024Bytes)
{
    const std::string longText(2000, 'a');
    struct Case {
        const char* format;
        const char* text;
        size_t length;
    } cases[] = {
        {"%s", longText.c_str(), 1023},
        {"%s", longText.c_str() + 2000 - 1022, 1022},
        {"%s", longText.c_str() + 2000 - 1023, 1023},
        {"%2000s", "x", 1023},
        {longText.c_str(), "", 1023}, // a long format is cut as well
    };
    for (const auto& c : cases) {
        char buffer[2048];
        memset(buffer, 'Z', sizeof buffer);
        Vformat(buffer, c.format, c.text);
        EXPECT_EQ(strlen(buffer), c.length);
        EXPECT_EQ(buffer[1024], 'Z');
    }
    char buffer[2048];
    memset(buffer, 'Z', sizeof buffer);
    Vformat(buffer, "%s%d", longText.c_str() + 2000 - 1020, 12345);
    EXPECT_EQ(std::string(buffer + 1018), "aa123"); // a number is cut too
}

} // namespace
