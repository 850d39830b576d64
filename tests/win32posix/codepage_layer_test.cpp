// The layer's process code page at the host edge (Linux only): names in
// through the A-calls become UTF-8 on the host and come back in the code page,
// host names the code page cannot hold are listed with '?' and found under no
// name, bytes the code page does not define name nothing, and a QEL_CODEPAGE
// that names no supported code page fails every call that converts a name.
#include "codepage.h"
#include "environment.h"
#include "path.h"
#include "workspace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

namespace {

const std::string kQianGbk = "\x9C\x5C";        // 淺
const std::string kQianUtf8 = "\xE6\xB7\xBA";   // 淺
const std::string kHangulUtf8 = "\xED\x95\x9C"; // 한: no character of GBK or 1252

class CodePageLayer : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        unsetenv("QEL_CODEPAGE");
        Workspace::SetUp();
        hostRoot_ = win32posix::FindDrive('T')->hostRoot;
    }
    void TearDown() override
    {
        unsetenv("QEL_CODEPAGE");
        Workspace::TearDown();
    }
    std::string Host(const std::string& relative = "") const
    {
        return relative.empty() ? hostRoot_ : hostRoot_ + "/" + relative;
    }
    bool HostExists(const std::string& relative) const
    {
        struct stat st;
        return lstat(Host(relative).c_str(), &st) == 0;
    }
    void WriteHostFile(const std::string& relative, const std::string& content = "")
    {
        std::ofstream(Host(relative), std::ios::binary) << content;
    }
    DWORD CreateError(const std::string& relative)
    {
        HANDLE h = CreateFileA(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        CloseHandle(h);
        return 0;
    }
    std::string hostRoot_;
};

TEST_F(CodePageLayer, GbkNamesAreUtf8OnTheHost)
{
    MakeDirectory(kQianGbk);
    MakeFile(kQianGbk + "\\" + kQianGbk + ".txt", "x");
    EXPECT_TRUE(HostExists(kQianUtf8 + "/" + kQianUtf8 + ".txt"));
    EXPECT_FALSE(HostExists(kQianGbk));
    // A folder made on the host under its UTF-8 name is found under its GBK name.
    ASSERT_EQ(mkdir(Host("\xE6\xB8\xB8\xE6\x88\x8F").c_str(), 0777), 0); // 游戏
    WriteHostFile("\xE6\xB8\xB8\xE6\x88\x8F/Game.EXE", "exe");
    EXPECT_EQ(ReadAll("\xD3\xCE\xCF\xB7\\game.exe"), "exe");
    EXPECT_EQ(List("\xD3\xCE\xCF\xB7\\*"), std::set<std::string>{"Game.EXE"});
    EXPECT_EQ(List("*"), (std::set<std::string>{kQianGbk, "\xD3\xCE\xCF\xB7"}));
}

TEST_F(CodePageLayer, UnrepresentableHostNamesAreListedWithQuestionMarks)
{
    WriteHostFile(kHangulUtf8 + kHangulUtf8 + ".txt");
    WriteHostFile("bad\xFF.txt"); // no UTF-8 at all: one '?' per byte
    WriteHostFile("a.txt", "a");
    EXPECT_EQ(List("*"), (std::set<std::string>{"??.txt", "bad?.txt", "a.txt"}));
    EXPECT_EQ(List("*.txt").size(), 3u);
    // The name as listed is no name: '?' is a wildcard, refused in a name.
    EXPECT_EQ(AttributesError("??.txt"), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(AttributesError("bad?.txt"), DWORD(ERROR_INVALID_NAME));
    // A case-insensitive scan never takes them for another name.
    EXPECT_EQ(AttributesError("BAD.TXT"), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(CodePageLayer, BytesTheCodePageDoesNotDefineNameNothing)
{
    // 0xFF is no GBK byte; 81 20 is a lead byte without a trail byte.
    WriteHostFile("\xFF", "raw"); // a host file whose name is that very byte
    EXPECT_EQ(AttributesError("\xFF"), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(AttributesError("x\x81 y"), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(AttributesError("\xFF\\file"), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateError("\xFF"), DWORD(ERROR_INVALID_NAME));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA(Path("x\x81 y").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(Path("\xFF").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    std::ifstream raw(Host("\xFF"), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(raw)), {});
    EXPECT_EQ(content, "raw");
}

TEST_F(CodePageLayer, CodePage1252)
{
    setenv("QEL_CODEPAGE", "1252", 1);
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_FALSE(IsDBCSLeadByte(0x81));
    MakeFile("caf\xE9", "1252");
    EXPECT_TRUE(HostExists("caf\xC3\xA9"));
    // Only ASCII letters fold.
    EXPECT_EQ(AttributesError("CAF\xE9"), DWORD(0));
    EXPECT_EQ(AttributesError("caf\xC9"), DWORD(ERROR_FILE_NOT_FOUND));
    WriteHostFile(kQianUtf8);
    EXPECT_EQ(List("*"), (std::set<std::string>{"caf\xE9", "?"}));
    // The byte 5C is a backslash in 1252: 9C 5C is a folder and a name.
    win32posix::WindowsPath parsed;
    ASSERT_EQ(win32posix::ParseWindowsPath("C:\\" + kQianGbk + "a", parsed), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(parsed.components, (std::vector<std::string>{"\x9C", "a"}));
}

TEST_F(CodePageLayer, CodePage65001)
{
    setenv("QEL_CODEPAGE", "65001", 1);
    EXPECT_EQ(GetACP(), 65001u);
    MakeFile(kQianUtf8 + kHangulUtf8, "utf8");
    EXPECT_TRUE(HostExists(kQianUtf8 + kHangulUtf8));
    WriteHostFile("bad\xFF");
    EXPECT_EQ(List("*"), (std::set<std::string>{kQianUtf8 + kHangulUtf8, "bad?"}));
    EXPECT_EQ(List("?" + kHangulUtf8), std::set<std::string>{kQianUtf8 + kHangulUtf8})
        << "'?' takes one whole UTF-8 character";
    EXPECT_EQ(AttributesError("bad\xFF"), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(CodePageLayer, DefaultIs936)
{
    EXPECT_EQ(GetACP(), 936u);
    setenv("QEL_CODEPAGE", "936", 1);
    EXPECT_EQ(GetACP(), 936u);
    setenv("QEL_CODEPAGE", "", 1);
    EXPECT_EQ(GetACP(), 936u);
}

TEST_F(CodePageLayer, RelativePathsClimbFromAUtf8CurrentFolder)
{
    MakeDirectory(kQianGbk);
    MakeDirectory(kQianGbk + "\\sub");
    MakeFile(kQianGbk + "\\" + kQianGbk, "rel");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(Host(kQianUtf8 + "/sub").c_str()), 0);
    EXPECT_EQ(GetFileAttributesA(("..\\" + kQianGbk).c_str()), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_NE(GetFileAttributesA(("..\\..\\" + kQianGbk + "\\sub").c_str()), INVALID_FILE_ATTRIBUTES);
    HANDLE h = CreateFileA("new.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(HostExists(kQianUtf8 + "/sub/new.txt"));
    ASSERT_EQ(chdir(previous), 0);
}

class BadCodePage : public CodePageLayer, public ::testing::WithParamInterface<const char*> { };

TEST_P(BadCodePage, FailsEveryCallThatConvertsANameAndSaysWhy)
{
    MakeFile("a.txt", "a");
    ::testing::internal::CaptureStderr();
    setenv("QEL_CODEPAGE", GetParam(), 1);
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA(Path("a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_ENVIRONMENT));
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("QEL_CODEPAGE \"" + std::string(GetParam()) + "\""), std::string::npos) << said;
    EXPECT_NE(said.find("936, 1252 or 65001"), std::string::npos) << said;

    EXPECT_EQ(CreateError("b.txt"), DWORD(ERROR_BAD_ENVIRONMENT));
    WIN32_FIND_DATAA data;
    SetLastError(0);
    EXPECT_EQ(FindFirstFileA(Path("*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_ENVIRONMENT));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA(Path("d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_ENVIRONMENT));
    char module[MAX_PATH];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, module, sizeof module), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_ENVIRONMENT));
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("Pelkit.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_ENVIRONMENT));
    WCHAR wide[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_ENVIRONMENT));

    // The message comes once per value; a good value works again.
    ::testing::internal::CaptureStderr();
    GetFileAttributesA(Path("a.txt").c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    setenv("QEL_CODEPAGE", "936", 1);
    EXPECT_EQ(ReadAll("a.txt"), "a");
}

INSTANTIATE_TEST_SUITE_P(Values, BadCodePage, ::testing::Values("1251", "gbk", "936 ", "0", "65001x", "-936"));

TEST(CodePageConversions, RoundTripsAndFallbacks)
{
    using namespace win32posix;
    EXPECT_EQ(CodePageToUtf8(936, kQianGbk + "a"), kQianUtf8 + "a");
    EXPECT_EQ(CodePageToUtf8(936, "\x81"), std::nullopt);
    EXPECT_EQ(CodePageToUtf8(65001, "\xC0\xAF"), std::nullopt) << "overlong";
    bool lossless = true;
    EXPECT_EQ(Utf8ToCodePage(936, kHangulUtf8 + "x" + kQianUtf8, '?', &lossless), "?x" + kQianGbk);
    EXPECT_FALSE(lossless);
    EXPECT_EQ(Utf8ToCodePage(1252, "\xC3\xA9", '?', &lossless), "\xE9");
    EXPECT_TRUE(lossless);
    EXPECT_EQ(Utf8ToCodePage(936, "\xE6\xB7", '?', &lossless), "??"); // cut short: one per byte
    EXPECT_EQ(CharLengthAt(936, kQianGbk, 0), 2u);
    EXPECT_EQ(CharLengthAt(936, "\x81", 0), 1u);
    EXPECT_EQ(CharLengthAt(65001, kQianUtf8, 0), 3u);
    EXPECT_EQ(CharLengthAt(1252, kQianGbk, 0), 1u);
}

} // namespace
