// Windows path parsing, normalisation and wildcard matching (pure).
#include "path.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace win32posix {
namespace {

struct ParseCase {
    const char* text;
    PathKind kind;
    char drive;
    std::vector<std::string> components;
    bool trailingSeparator;
};

class ParseTable : public ::testing::TestWithParam<ParseCase> { };

TEST_P(ParseTable, ParsesAndNormalises)
{
    const ParseCase& c = GetParam();
    WindowsPath path;
    ASSERT_EQ(ParseWindowsPath(c.text, path), DWORD(ERROR_SUCCESS)) << c.text;
    EXPECT_EQ(path.kind, c.kind) << c.text;
    EXPECT_EQ(path.drive, c.drive) << c.text;
    EXPECT_EQ(path.components, c.components) << c.text;
    EXPECT_EQ(path.trailingSeparator, c.trailingSeparator) << c.text;
}

using V = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Paths, ParseTable,
    ::testing::Values(ParseCase{"C:\\games\\x", PathKind::DriveAbsolute, 'C', V{"games", "x"}, false},
                      ParseCase{"d:\\games\\x\\", PathKind::DriveAbsolute, 'D', V{"games", "x"}, true},
                      ParseCase{"C:\\", PathKind::DriveAbsolute, 'C', V{}, false},
                      ParseCase{"c:", PathKind::DriveRelative, 'C', V{}, false},
                      ParseCase{"c:games", PathKind::DriveRelative, 'C', V{"games"}, false},
                      // Runs of separators, either kind, count as one.
                      ParseCase{"D:\\games\\\\x", PathKind::DriveAbsolute, 'D', V{"games", "x"}, false},
                      ParseCase{"D:/games//x\\/y", PathKind::DriveAbsolute, 'D', V{"games", "x", "y"}, false},
                      ParseCase{"D:\\games\\x\\\\", PathKind::DriveAbsolute, 'D', V{"games", "x"}, true},
                      // "." and ".." removed lexically, never above the root.
                      ParseCase{"C:\\a\\.\\b\\..\\c", PathKind::DriveAbsolute, 'C', V{"a", "c"}, false},
                      ParseCase{"C:\\..\\..\\a", PathKind::DriveAbsolute, 'C', V{"a"}, false},
                      ParseCase{"C:\\a\\..", PathKind::DriveAbsolute, 'C', V{}, false},
                      ParseCase{"C:\\a\\b\\..\\", PathKind::DriveAbsolute, 'C', V{"a"}, true},
                      ParseCase{"\\..\\opt", PathKind::HostAbsolute, 0, V{"opt"}, false},
                      // Host-absolute and relative paths.
                      ParseCase{"\\opt\\x", PathKind::HostAbsolute, 0, V{"opt", "x"}, false},
                      ParseCase{"/opt/x", PathKind::HostAbsolute, 0, V{"opt", "x"}, false},
                      ParseCase{"\\", PathKind::HostAbsolute, 0, V{}, false},
                      ParseCase{"a\\b", PathKind::Relative, 0, V{"a", "b"}, false},
                      ParseCase{"..\\log\\qeclt.log", PathKind::Relative, 0, V{"..", "log", "qeclt.log"}, false},
                      ParseCase{"a\\..\\..\\b", PathKind::Relative, 0, V{"..", "b"}, false},
                      ParseCase{".", PathKind::Relative, 0, V{}, false},
                      // Trailing dots and spaces of the last name go; one dot ending a folder name goes.
                      ParseCase{"C:\\a\\file.", PathKind::DriveAbsolute, 'C', V{"a", "file"}, false},
                      ParseCase{"C:\\a\\file. . ", PathKind::DriveAbsolute, 'C', V{"a", "file"}, false},
                      ParseCase{"C:\\dir.\\file", PathKind::DriveAbsolute, 'C', V{"dir", "file"}, false},
                      ParseCase{"C:\\a\\...", PathKind::DriveAbsolute, 'C', V{"a"}, true},
                      ParseCase{"C:\\a..\\ ", PathKind::DriveAbsolute, 'C', V{"a."}, true},
                      // A folder name keeps its spaces and all but one ending dot; the name
                      // that ends the path after "." and ".." are applied loses them all.
                      ParseCase{"C:\\y \\in", PathKind::DriveAbsolute, 'C', V{"y ", "in"}, false},
                      ParseCase{"C:\\y \\", PathKind::DriveAbsolute, 'C', V{"y "}, true},
                      ParseCase{"C:\\y..\\in", PathKind::DriveAbsolute, 'C', V{"y.", "in"}, false},
                      ParseCase{"C:\\y \\.", PathKind::DriveAbsolute, 'C', V{"y"}, false},
                      ParseCase{"C:\\a\\y . \\x\\..", PathKind::DriveAbsolute, 'C', V{"a", "y"}, false},
                      ParseCase{"C:\\a\\...\\.", PathKind::DriveAbsolute, 'C', V{"a"}, true},
                      ParseCase{"C:\\.hidden\\x", PathKind::DriveAbsolute, 'C', V{".hidden", "x"}, false},
                      ParseCase{"C:\\a b\\c d", PathKind::DriveAbsolute, 'C', V{"a b", "c d"}, false}));

TEST(ParseWindowsPath, RefusesWhatWindowsRefuses)
{
    struct Case {
        const char* text;
        DWORD error;
    } cases[] = {
        {"", ERROR_PATH_NOT_FOUND},
        {"\\\\server\\share\\x", ERROR_PATH_NOT_FOUND},
        {"\\\\?\\C:\\x", ERROR_PATH_NOT_FOUND},
        {"//server/share", ERROR_PATH_NOT_FOUND},
        {"C:\\a*b", ERROR_INVALID_NAME},
        {"C:\\a?b", ERROR_INVALID_NAME},
        {"C:\\a\\b:c", ERROR_INVALID_NAME},
        {"C:\\a<b", ERROR_INVALID_NAME},
        {"C:\\a|b", ERROR_INVALID_NAME},
        {"C:\\a\"b", ERROR_INVALID_NAME},
        {"C:\\a\tb", ERROR_INVALID_NAME},
        {"C:\\*\\b", ERROR_INVALID_NAME},
        {"1:\\x", ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        WindowsPath path;
        EXPECT_EQ(ParseWindowsPath(c.text, path), c.error) << c.text;
    }
}

TEST(ParseWindowsPath, AcceptsWildcardsOnlyInTheLastNameWhenAsked)
{
    WindowsPath path;
    ASSERT_EQ(ParseWindowsPath("C:\\dir\\*.*", path, true), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(path.components, (V{"dir", "*.*"}));
    ASSERT_EQ(ParseWindowsPath("C:\\dir\\*.", path, true), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(path.components.back(), "*.") << "a pattern keeps its final dot";
    ASSERT_EQ(ParseWindowsPath("C:\\dir\\name.", path, true), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(path.components.back(), "name") << "a plain name loses it";
    EXPECT_EQ(ParseWindowsPath("C:\\d*r\\x", path, true), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(ParseWindowsPath("C:\\dir\\*\\", path, true), DWORD(ERROR_INVALID_NAME));
}

TEST(FormatWindowsPath, GivesTextThatParsesToTheSamePath)
{
    for (const char* text : {"C:\\a\\b", "C:\\a\\b\\", "C:\\", "\\opt\\x", "\\", "a\\b", "..\\a", "."}) {
        WindowsPath first, second;
        ASSERT_EQ(ParseWindowsPath(text, first), DWORD(ERROR_SUCCESS)) << text;
        std::string formatted = FormatWindowsPath(first);
        EXPECT_EQ(formatted, text);
        ASSERT_EQ(ParseWindowsPath(formatted, second), DWORD(ERROR_SUCCESS)) << formatted;
        EXPECT_EQ(second.components, first.components) << text;
    }
}

TEST(FormatWindowsPath, KeepsTheDotThatEndsAFolderName)
{
    // Parsing drops one dot that ends a folder name ("a..\\b" names "a.\\b"),
    // so the canonical text of the folder "a." must give the dot back.
    for (const char* text : {"C:\\a..\\b", "\\x\\..y..\\", "a...b..\\c"}) {
        WindowsPath first, second;
        ASSERT_EQ(ParseWindowsPath(text, first), DWORD(ERROR_SUCCESS)) << text;
        std::string formatted = FormatWindowsPath(first);
        ASSERT_EQ(ParseWindowsPath(formatted, second), DWORD(ERROR_SUCCESS)) << formatted;
        EXPECT_EQ(second.components, first.components) << text << " written " << formatted;
        EXPECT_EQ(FormatWindowsPath(second), formatted) << text;
    }
}

TEST(JoinComponents, AppliesParentStepsWithoutClimbingAboveTheRoot)
{
    EXPECT_EQ(JoinComponents({"home", "u", "bin"}, {"..", "log", "x.log"}), (V{"home", "u", "log", "x.log"}));
    EXPECT_EQ(JoinComponents({"a"}, {"..", "..", "..", "b"}), (V{"b"}));
    EXPECT_EQ(JoinComponents({}, {}), V{});
}

TEST(NamesEqualIgnoringCase, FoldsAsciiOnly)
{
    EXPECT_TRUE(NamesEqualIgnoringCase("tarngamever", "tarnGameVer"));
    EXPECT_TRUE(NamesEqualIgnoringCase("QELFilesInfo.DAT", "qelfilesinfo.dat"));
    EXPECT_FALSE(NamesEqualIgnoringCase("a", "ab"));
    EXPECT_FALSE(NamesEqualIgnoringCase("\xC4\xE3", "\xE4\xE3")) << "bytes above 0x7F are compared as they are";
}

TEST(MatchesWildcard, FollowsWindowsRules)
{
    struct Case {
        const char* name;
        const char* pattern;
        bool matches;
    } cases[] = {
        {"game.exe", "*", true},     {"game.exe", "*.*", true},
        {"README", "*.*", true}, // "*.*" also matches names without a dot
        {".", "*.*", true},          {"..", "*", true},
        {"game.exe", "*.exe", true}, {"game.EXE", "*.exe", true},
        {"GAME.exe", "g*", true},    {"game.exe", "*.dll", false},
        {"abc", "a?c", true},        {"abbc", "a?c", false},
        {"abc", "abc.*", true}, // "name.*" also matches the name without extension
        {"abc.txt", "abc.*", true},  {"abcd", "abc.*", false},
        {"README", "*.", true}, // a final dot: names without an extension
        {"read.me", "*.", false},    {"a.b.c", "*.c", true},
        {"ab", "a*b*", true},        {"tarnGameVer", "TARNGAMEVER", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesWildcard(c.name, c.pattern), c.matches) << c.name << " vs " << c.pattern;
}

// Code page 936 (the default): the second byte of a GBK character is never a
// separator, a forbidden character, a dot to strip or a letter to fold.
TEST(DoubleBytePaths, TrailBytesAreNoSeparatorsOrForbiddenCharacters)
{
    unsetenv("QEL_CODEPAGE");
    WindowsPath path;
    ASSERT_EQ(ParseWindowsPath("C:\\\x9C\x5C\\a\x81\x5C", path), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(path.components, (std::vector<std::string>{"\x9C\x5C", "a\x81\x5C"}));
    EXPECT_FALSE(path.trailingSeparator);
    ASSERT_EQ(ParseWindowsPath("D:\\\xDF\x5C\\", path), DWORD(ERROR_SUCCESS)); // 運\ : a folder
    EXPECT_EQ(path.components, (std::vector<std::string>{"\xDF\x5C"}));
    EXPECT_TRUE(path.trailingSeparator);
    ASSERT_EQ(ParseWindowsPath("D:\\\xDF\x5C", path), DWORD(ERROR_SUCCESS)); // 運 alone: no separator at all
    EXPECT_EQ(path.components, (std::vector<std::string>{"\xDF\x5C"}));
    EXPECT_FALSE(path.trailingSeparator);
    ASSERT_EQ(ParseWindowsPath("C:\\\x81\x7C.cfg", path), DWORD(ERROR_SUCCESS)); // 亅: 81 7C is no '|'
    EXPECT_EQ(path.components, (std::vector<std::string>{"\x81\x7C.cfg"}));
    EXPECT_EQ(ParseWindowsPath("C:\\a|b", path), DWORD(ERROR_INVALID_NAME));
    // Trailing dots go, the character before them stays whole.
    ASSERT_EQ(ParseWindowsPath("C:\\\x9C\x5C. .", path), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(path.components, (std::vector<std::string>{"\x9C\x5C"}));
    // Formatting and parsing again give the same components.
    ASSERT_EQ(ParseWindowsPath("C:\\\x9C\x5C\\\x81\x5C\\", path), DWORD(ERROR_SUCCESS));
    WindowsPath again;
    ASSERT_EQ(ParseWindowsPath(FormatWindowsPath(path), again), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(again.components, path.components);
    EXPECT_TRUE(again.trailingSeparator);
}

TEST(DoubleBytePaths, FoldingAndWildcardsTakeWholeCharacters)
{
    unsetenv("QEL_CODEPAGE");
    EXPECT_TRUE(NamesEqualIgnoringCase("Ab\x9C\x5C"
                                       "cD",
                                       "aB\x9C\x5C"
                                       "Cd"));
    EXPECT_FALSE(NamesEqualIgnoringCase("\x81\x41", "\x81\x61")) << "丄 and 乤 are two characters";
    EXPECT_TRUE(MatchesWildcard("\x9C\x5C.txt", "?.txt"));
    EXPECT_FALSE(MatchesWildcard("\x9C\x5C\x9C\x5C.txt", "?.txt"));
    EXPECT_TRUE(MatchesWildcard("\x9C\x5C\x9C\x5C", "\x9C\x5C*"));
    EXPECT_FALSE(MatchesWildcard("\x81\x61", "\x81\x41"));
    EXPECT_FALSE(MatchesWildcard("\x81\x41", "*A")) << "the second byte 41 is no 'A'";
    EXPECT_TRUE(MatchesWildcard("x\x81\x41"
                                "a",
                                "*A"));
}

} // namespace
} // namespace win32posix
