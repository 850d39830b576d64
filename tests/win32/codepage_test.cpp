// The ANSI code page 936 (GBK) as the core meets it: GetACP, the double-byte
// helpers, the conversions, and files and folders whose names hold GBK
// characters, above all those whose second byte is 0x5C ('\') or 0x7C ('|')
// or a letter. Run on the layer (QEL_CODEPAGE unset or 936) and under Wine
// with the zh_CN.UTF-8 locale (cmake/wine-run.sh).
#include "workspace.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace {

// GBK characters: 淺 (9C 5C) and 乗 (81 5C) end in a backslash byte, 運 (DF 5C)
// too; 亅 (81 7C) in '|'; 丄 (81 41) and 乤 (81 61) in 'A' and 'a'; 啊 (B0 A1)
// has no ASCII byte at all.
const std::string kQian = "\x9C\x5C";
const std::string kCheng = "\x81\x5C";
const std::string kYun = "\xDF\x5C";
const std::string kJue = "\x81\x7C";
const std::string kUpperTrail = "\x81\x41";
const std::string kLowerTrail = "\x81\x61";
const std::string kA = "\xB0\xA1";

TEST(AnsiCodePage, Is936)
{
    ASSERT_EQ(GetACP(), 936u)
        << "the ANSI code page is not 936 (GBK): under Wine the zh_CN.UTF-8 locale is missing or not in use "
           "(cmake/wine-run.sh compiles it into build/locale and sets LOCPATH and LC_CTYPE); on the layer "
           "QEL_CODEPAGE is set to something else";
}

TEST(AnsiCodePage, LeadBytes)
{
    EXPECT_FALSE(IsDBCSLeadByte(0x80));
    EXPECT_TRUE(IsDBCSLeadByte(0x81));
    EXPECT_TRUE(IsDBCSLeadByte(0x9C));
    EXPECT_TRUE(IsDBCSLeadByte(0xFE));
    EXPECT_FALSE(IsDBCSLeadByte(0xFF));
    EXPECT_FALSE(IsDBCSLeadByte('\\'));
    EXPECT_FALSE(IsDBCSLeadByte('A'));
}

TEST(AnsiCodePage, CharNextAndCharPrevStepOverDoubleByteCharacters)
{
    const std::string text = kQian + "a" + kCheng; // 9C 5C 61 81 5C
    const char* s = text.c_str();
    EXPECT_EQ(CharNextA(s), s + 2);
    EXPECT_EQ(CharNextA(s + 2), s + 3);
    EXPECT_EQ(CharNextA(s + 3), s + 5);
    EXPECT_EQ(CharNextA(s + 5), s + 5); // the terminator stays
    EXPECT_EQ(CharPrevA(s, s + 5), s + 3);
    EXPECT_EQ(CharPrevA(s, s + 3), s + 2);
    EXPECT_EQ(CharPrevA(s, s + 2), s);
    EXPECT_EQ(CharPrevA(s, s), s);
    // A lead byte before the terminator is a character alone.
    const char lone[] = "a\x81";
    EXPECT_EQ(CharNextA(lone + 1), lone + 2);
}

TEST(AnsiCodePage, MultiByteToWideChar)
{
    const std::string text = kQian + kCheng + "A";
    WCHAR wide[8] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0), 4);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 8), 4);
    EXPECT_EQ(wide[0], 0x6DFA);
    EXPECT_EQ(wide[1], 0x4E57);
    EXPECT_EQ(wide[2], 'A');
    EXPECT_EQ(wide[3], 0);
    EXPECT_EQ(MultiByteToWideChar(936, 0, kYun.c_str(), 2, wide, 8), 1);
    EXPECT_EQ(wide[0], 0x904B);
    // Too small a buffer.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // A lead byte whose second byte is no trail byte: refused when asked.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "a\x81 ", -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    // UTF-8.
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE6\xB7\xBA", 3, wide, 8), 1);
    EXPECT_EQ(wide[0], 0x6DFA);
}

TEST(AnsiCodePage, WideCharToMultiByte)
{
    const WCHAR wide[] = {0x6DFA, 0x4E57, 'x', 0};
    char text[16] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr), 6);
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, &usedDefault), 6);
    EXPECT_EQ(std::string(text), kQian + kCheng + "x");
    EXPECT_FALSE(usedDefault);
    // Hangul is no part of GBK: the default character stands for it.
    const WCHAR hangul[] = {0xD55C, 'A', 0};
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, hangul, -1, text, sizeof text, nullptr, &usedDefault), 3);
    EXPECT_EQ(std::string(text), "?A");
    EXPECT_TRUE(usedDefault);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, 1, text, sizeof text, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(text, 3), "\xE6\xB7\xBA");
}

class GbkNames : public qeltest::Workspace {
protected:
};

TEST_F(GbkNames, FolderAndFileWhoseSecondByteIsABackslash)
{
    MakeDirectory(kQian);
    MakeFile(kQian + "\\" + kCheng + ".txt", "content");
    EXPECT_EQ(List("*"), std::set<std::string>{kQian});
    EXPECT_EQ(List(kQian + "\\*"), std::set<std::string>{kCheng + ".txt"});
    EXPECT_EQ(ReadAll(kQian + "\\" + kCheng + ".txt"), "content");
    DWORD attributes = GetFileAttributesA(Path(kQian).c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << GetLastError();
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    // With a separator after the name: the byte 5C of the name is no separator.
    EXPECT_NE(GetFileAttributesA(Path(kQian + "\\").c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_TRUE(DeleteFileA(Path(kQian + "\\" + kCheng + ".txt").c_str())) << GetLastError();
    ASSERT_TRUE(RemoveDirectoryA(Path(kQian).c_str())) << GetLastError();
    EXPECT_TRUE(List("*").empty());
}

TEST_F(GbkNames, FolderNamesEndingInA5CByteNest)
{
    // 運\運\ : each name ends in the byte 5C, followed by a real separator.
    MakeDirectory(kYun);
    MakeDirectory(kYun + "\\" + kYun);
    MakeFile(kYun + "\\" + kYun + "\\" + kA, "x");
    EXPECT_EQ(List(kYun + "\\" + kYun + "\\*"), std::set<std::string>{kA});
    EXPECT_EQ(ReadAll(kYun + "\\" + kYun + "\\" + kA), "x");
    // The parent of the inner file, as the core would cut it at the last real separator.
    EXPECT_EQ(List(kYun + "\\*"), std::set<std::string>{kYun});
}

TEST_F(GbkNames, SecondByteBarIsNoForbiddenCharacter)
{
    MakeFile(kJue + ".cfg", "bar");
    EXPECT_EQ(ReadAll(kJue + ".cfg"), "bar");
    EXPECT_EQ(List("*.cfg"), std::set<std::string>{kJue + ".cfg"});
    // A real '|' is refused.
    HANDLE h = CreateFileA(Path("a|b").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
}

// A lead byte followed by a byte that no double-byte character ends in (one
// below 0x40, here '/', ':', a space or a digit) still makes one character
// with it: that byte is no separator nor character of its own, and as the
// pair is no character of the code page, no name can hold it (a '/' read as
// a separator would name a missing folder instead: ERROR_PATH_NOT_FOUND). The
// client's name rules take the same reading, and refuse such names before
// any call.
TEST_F(GbkNames, ALeadByteTakesTheNextByteEvenWhenItCannotEndACharacter)
{
    for (const std::string& name :
         {std::string("a\x81/b"), std::string("c\x81:d"), std::string("e\x81 f"), std::string("g\x81") + "0h"}) {
        SCOPED_TRACE(name);
        SetLastError(0);
        HANDLE h =
            CreateFileA(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
        EXPECT_FALSE(CreateDirectoryA(Path(name).c_str(), nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    }
    EXPECT_TRUE(List("*").empty());
    // The backslash after a lead byte is its second byte: one name.
    MakeFile("i\x81\\j", "pair");
    EXPECT_EQ(ReadAll("i\x81\\j"), "pair");
    EXPECT_EQ(List("*"), std::set<std::string>{"i\x81\\j"});
}

TEST_F(GbkNames, NeighboursSharingALeadByteStayApart)
{
    MakeDirectory(kQian);
    MakeDirectory(kQian + kQian);
    MakeFile(kQian + kQian + "\\keep.txt", "keep");
    EXPECT_EQ(List(kQian), std::set<std::string>{kQian});
    EXPECT_EQ(List(kQian + "*"), (std::set<std::string>{kQian, kQian + kQian}));
    ASSERT_TRUE(RemoveDirectoryA(Path(kQian).c_str())) << GetLastError();
    EXPECT_EQ(List("*"), std::set<std::string>{kQian + kQian});
    EXPECT_EQ(ReadAll(kQian + kQian + "\\keep.txt"), "keep");
}

TEST_F(GbkNames, AsciiLettersFoldDoubleByteCharactersDoNot)
{
    MakeFile("Ab" + kQian + "cD.txt", "mixed");
    EXPECT_EQ(ReadAll("aB" + kQian + "Cd.TXT"), "mixed");
    EXPECT_EQ(List("AB" + kQian + "CD.TXT"), std::set<std::string>{"Ab" + kQian + "cD.txt"});
    // 丄 (81 41) and 乤 (81 61) differ only in a trail byte that reads as
    // 'A' or 'a': two different characters.
    MakeFile(kUpperTrail, "upper");
    EXPECT_EQ(AttributesError(kLowerTrail), DWORD(ERROR_FILE_NOT_FOUND));
    MakeFile(kLowerTrail, "lower");
    EXPECT_EQ(ReadAll(kUpperTrail), "upper");
    EXPECT_EQ(ReadAll(kLowerTrail), "lower");
    EXPECT_EQ(List("*").size(), 3u);
}

TEST_F(GbkNames, QuestionMarkMatchesOneDoubleByteCharacter)
{
    MakeFile(kQian + ".txt");
    MakeFile("a.txt");
    MakeFile("ab.txt");
    MakeFile(kQian + kQian + ".txt");
    EXPECT_EQ(List("?.txt"), (std::set<std::string>{kQian + ".txt", "a.txt"}));
    EXPECT_EQ(List(kQian + "*.txt"), (std::set<std::string>{kQian + ".txt", kQian + kQian + ".txt"}));
}

TEST_F(GbkNames, CopyAndTrailingDotsOfGbkNames)
{
    MakeDirectory(kCheng);
    MakeFile(kCheng + "\\" + kQian, "copied");
    ASSERT_TRUE(CopyFileA(Path(kCheng + "\\" + kQian).c_str(), Path(kCheng + "\\" + kYun).c_str(), TRUE))
        << GetLastError();
    EXPECT_EQ(ReadAll(kCheng + "\\" + kYun), "copied");
    // "淺." names 淺: the dot goes, the character stays whole.
    EXPECT_EQ(ReadAll(kCheng + "\\" + kQian + "."), "copied");
}

// A host name the code page cannot represent: 한 (U+D55C). Created with the
// wide call on Windows, directly on the host through the layer.
TEST_F(GbkNames, UnrepresentableNameIsListedWithAQuestionMarkAndNotFoundUnderIt)
{
#ifdef _WIN32
    std::wstring wideRoot(root.begin(), root.end()); // the root is ASCII
    HANDLE h = CreateFileW((wideRoot + L"\xD55C.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
#else
    std::string drives = getenv("QEL_DRIVES");
    std::string host = drives.substr(drives.find('=') + 1) + "/\xED\x95\x9C.txt";
    int fd = open(host.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
#endif
    MakeFile("a.txt");
    EXPECT_EQ(List("*"), (std::set<std::string>{"?.txt", "a.txt"}));
    // '?' is no character of a name: the name given cannot be looked up.
    EXPECT_EQ(AttributesError("?.txt"), DWORD(ERROR_INVALID_NAME));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(Path("?.txt").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(ReadAll("a.txt"), "");
    EXPECT_EQ(List("*").size(), 2u);
    // The workspace's removal cannot name it either.
#ifdef _WIN32
    DeleteFileW((wideRoot + L"\xD55C.txt").c_str());
#else
    unlink(host.c_str());
#endif
}

} // namespace
