// wsprintfA details of the layer that the conformance tests leave out because
// Wine differs: the count returned for a cut output (Wine reports 1024 while it
// stores 1023 characters; the log writes that count, so it must be what was
// stored), the short size prefix, wide texts and pointers.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

TEST(WsprintfLayer, ReturnsTheCharactersStoredWhenCut)
{
    const std::string longText(2000, 'a');
    char buffer[2048];
    for (size_t length : {1022u, 1023u, 1024u, 2000u}) {
        const std::string text = longText.substr(0, length);
        const int stored = wsprintfA(buffer, "%s", text.c_str());
        EXPECT_EQ(stored, int(strlen(buffer))) << length;
        EXPECT_EQ(stored, int(length < 1023 ? length : 1023)) << length;
    }
}

TEST(WsprintfLayer, ShortPrefixTruncatesToSixteenBits)
{
    char buffer[64];
    wsprintfA(buffer, "%hd %hu %hx", 70000, 70000, 0x12345);
    EXPECT_STREQ(buffer, "4464 4464 2345");
}

TEST(WsprintfLayer, WideTextsKeepAsciiOnly)
{
    const uint16_t wide[] = {'w', 'i', 0xe9, 0x4e2d, 0};
    char buffer[64];
    wsprintfA(buffer, "%ls|%S|%lc|%C|%.2ls", wide, wide, 'A', 0x4e2d, wide);
    EXPECT_STREQ(buffer, "wi??|wi??|A|?|wi");
}

TEST(WsprintfLayer, PointersInUpperCaseHexOfFullWidth)
{
    char buffer[64];
    wsprintfA(buffer, "%p", reinterpret_cast<void*>(0xabcd));
    EXPECT_EQ(std::string(buffer), std::string(2 * sizeof(void*) - 4, '0') + "ABCD");
}

TEST(WsprintfLayer, MalformedConversionsPrintNoPadding)
{
    char buffer[64];
    EXPECT_EQ(wsprintfA(buffer, "%5y|%-%d", 1), 3);
    EXPECT_STREQ(buffer, "y|1");
    EXPECT_EQ(wsprintfA(buffer, "abc%5"), 3);
    EXPECT_STREQ(buffer, "abc");
}

TEST(WsprintfLayer, NulCharacterIsCounted)
{
    char buffer[64];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(wsprintfA(buffer, "%c|", 0), 2);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '|');
}

} // namespace
