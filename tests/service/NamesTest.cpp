// Names in the client's code page (936 here): a double-byte character whose
// second byte is that of a backslash, a bar or a letter is one character.
// Every table runs through both sides' rules: the core's, with the lead bytes
// its system gives, and qelsrv's, with those of --codepage 936.
#include "base/SystemNames.h"

#include <client_codepage.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qek;

namespace {

// 淺 is 9C 5C, 運 DF 5C, 水 CB AE.
const std::string kShallow = "\x9C\x5C";
const std::string kLuck = "\xDF\x5C";
const std::string kWater = "\xCB\xAE";

TEST(Names, TheCodePageIsGbk)
{
    ASSERT_EQ(GetACP(), 936u);
}

struct Side {
    const char* name;
    const NameRules& (*rules)();
};

const NameRules& ServerRules()
{
    return qelsrv::ClientNames(936);
}

class Names : public testing::TestWithParam<Side> {
protected:
    const NameRules& names = GetParam().rules();
};

INSTANTIATE_TEST_SUITE_P(BothSides, Names, testing::Values(Side{"Client", &SystemNames}, Side{"Qelsrv", &ServerRules}),
                         [](const testing::TestParamInfo<Side>& info) { return std::string(info.param.name); });

TEST_P(Names, SplittingStepsOverDoubleByteCharacters)
{
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"a\\b", {"a", "b"}},
        {"\\", {"", ""}},
        {"", {""}},
        {kShallow + kWater, {kShallow + kWater}},
        {kShallow + "\\" + kLuck, {kShallow, kLuck}},
        {kLuck + "\\", {kLuck, ""}},
        {"a\\" + kShallow + "\\\\b", {"a", kShallow, "", "b"}},
        {"\x9C", {"\x9C"}},                 // a lead byte at the end stands alone;
        {"\x9C\x3A\\x", {"\x9C\x3A", "x"}}, // any other byte is its second byte,
        {"\x9C\\x", {"\x9C\\x"}},           // the one of a backslash too
        {"\x9C/\\x", {"\x9C/", "x"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> pieces;
        for (std::string_view piece : names.SplitAtBackslashes(c.text)) {
            pieces.emplace_back(piece);
        }
        EXPECT_EQ(pieces, c.pieces) << c.text;
    }
}

TEST_P(Names, TheLastCharacterIsFoundFromTheFront)
{
    EXPECT_FALSE(names.EndsWithCharacter(kShallow, '\\'));
    EXPECT_TRUE(names.EndsWithCharacter(kShallow + "\\", '\\'));
    EXPECT_EQ(names.FindLastCharacter("D:\\games\\" + kLuck, '\\'), 8u);
    EXPECT_EQ(names.FindLastCharacter(kLuck + kShallow, '\\'), std::string_view::npos);
    EXPECT_EQ(names.TrimTrailingCharacter("D:\\" + kShallow + "\\\\\\", '\\'), "D:\\" + kShallow);
    EXPECT_EQ(names.TrimTrailingCharacter("D:\\" + kShallow, '\\'), "D:\\" + kShallow);
    EXPECT_EQ(names.TrimTrailingCharacter("\\\\", '\\'), "");
}

TEST_P(Names, LettersAreLoweredOnlyWhereTheyAreCharacters)
{
    // B1 5A is one character whose second byte is that of 'Z'.
    EXPECT_EQ(names.AsciiLower("ABC\xB1\x5A" + kLuck + "D"), "abc\xB1\x5A" + kLuck + "d");
}

TEST_P(Names, AComponentIsSafeWhenWindowsStoresItAsWritten)
{
    struct Case {
        std::string component;
        bool safe;
    };
    const Case cases[] = {
        {"game.exe", true},
        {kShallow, true},   // its second byte is no backslash
        {"\xB1\x7C", true}, // nor this one a bar
        {kLuck + ".txt", true},
        {"a|b", false},
        {"a\\b", false},
        {"x.", false},
        {"x ", false},
        {"com1.txt", false},
        {"", false},
        {"con .txt", false}, // a device name before spaces and an extension
        {"x\x9C", false},    // a lead byte with no second byte: Windows drops it
        {"x\x9C/y", false},  // a second byte no code page has: Windows stores another
        {"x\x9C"
         "0",
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(names.IsSafeComponent(c.component), c.safe) << c.component;
    }
}

TEST_P(Names, DrivePathsHaveOneForm)
{
    struct Case {
        std::string text;
        bool valid;
        size_t depth;
        bool endsWithBackslash;
    };
    const Case cases[] = {
        {"D:\\", true, 0, true},
        {"D:\\games\\x\\", true, 2, true},
        {"d:\\games\\x", true, 2, false},
        {"D:\\" + kShallow + kWater + "\\", true, 1, true},
        {"D:\\games\\" + kLuck + "\\" + kShallow, true, 3, false},
        {"D:", false, 0, false},
        {"D:games\\x\\", false, 0, false},
        {"\\games\\x\\", false, 0, false},
        {"..\\x\\", false, 0, false},
        {"D:\\games\\\\x\\", false, 0, false},
        {"D:\\games\\x\\\\", false, 0, false},
        {"D:\\\\", false, 0, false},
        {"D:\\games\\..\\", false, 0, false},
        {"D:\\games\\.\\x", false, 0, false},
        {"D:\\games/x\\", false, 0, false},
        {"D:\\games\\x \\", false, 0, false},
        {"1:\\games\\", false, 0, false},
    };
    for (const Case& c : cases) {
        const std::optional<DrivePath> path = names.ParseDrivePath(c.text);
        ASSERT_EQ(path.has_value(), c.valid) << c.text;
        if (path) {
            EXPECT_EQ(path->components.size(), c.depth) << c.text;
            EXPECT_EQ(path->endsWithBackslash, c.endsWithBackslash) << c.text;
        }
    }
}

} // namespace
