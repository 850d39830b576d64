// The server tool speaks the clients' code page: a UTF-8 folder's names in
// the check list in GBK (936, the default), 1252 or UTF-8, names the code
// page cannot represent refused, double-byte characters whose second byte is
// '\' or '|' taken whole, file requests in GBK mapped to the UTF-8 files, and
// the command-line paths converted (or the command refused, naming them).
#include "TempFolder.h"

#include "checklist.h"
#include "dirsync_session.h"
#include "update_session.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace qelsrv;
namespace fs = std::filesystem;

namespace {

// UTF-8 and GBK of the names used: 淺 9C 5C, 乗 81 5C, 運 DF 5C (all end in a
// backslash byte), 亅 81 7C ('|'), 丄 81 41 and 乤 81 61 ('A' and 'a'), 游戏 D3 CE CF B7.
const std::string kQian = "\xE6\xB7\xBA", kQianGbk = "\x9C\x5C";
const std::string kCheng = "\xE4\xB9\x97", kChengGbk = "\x81\x5C";
const std::string kYun = "\xE9\x81\x8B", kYunGbk = "\xDF\x5C";
const std::string kJue = "\xE4\xBA\x85", kJueGbk = "\x81\x7C";
const std::string kUpper = "\xE4\xB8\x84", kLower = "\xE4\xB9\xA4";
const std::string kGame = "\xE6\xB8\xB8\xE6\x88\x8F", kGameGbk = "\xD3\xCE\xCF\xB7";
const std::string kHangul = "\xED\x95\x9C";

void WriteFile(const fs::path& path, const std::string& content = "x")
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> Names(const CheckList& list)
{
    std::vector<std::string> names;
    for (const QELDtFile& record : list.records)
        names.emplace_back(RecordName(record));
    return names;
}

FileRequest Request(const std::string& name, uint64_t size)
{
    FileRequest request{};
    request.command = kFileRequestSendFile;
    std::strncpy(request.fileName, name.c_str(), sizeof request.fileName - 1);
    request.fileSizeHighByte = static_cast<uint8_t>(size >> 32);
    request.fileSizeLow = static_cast<uint32_t>(size);
    return request;
}

} // namespace

TEST(ClientCodePage, CheckListNamesAreGbkAndRequestsMapBackToTheUtf8Files)
{
    TempFolder game{"qelsrv-codepage"};
    WriteFile(game.path() / kQian / (kCheng + ".txt"), "cheng");
    WriteFile(game.path() / kYun / kYun / "a.dat", "aa");
    WriteFile(game.path() / (kJue + ".cfg"), "jue");
    WriteFile(game.path() / kUpper, "u");
    WriteFile(game.path() / kLower, "l");
    CheckList list = BuildCheckList(game.path());
    for (const CheckListNote& note : list.errors)
        ADD_FAILURE() << note.path << ": " << note.reason;
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(list.codePage, 936u);
    std::vector<std::string> expected = {
        "\\\x81\x41", // 丄 81 41
        "\\\x81\x61", // 乤 81 61
        "\\" + kJueGbk + ".cfg",
        "\\" + kQianGbk + "\\",
        "\\" + kQianGbk + "\\" + kChengGbk + ".txt",
        "\\" + kYunGbk + "\\",
        "\\" + kYunGbk + "\\" + kYunGbk + "\\",
        "\\" + kYunGbk + "\\" + kYunGbk + "\\a.dat",
    };
    EXPECT_EQ(Names(list), expected);

    FileRequestCheck check = CheckFileRequest(list, Request("\\" + kQianGbk + "\\" + kChengGbk + ".txt", 5));
    ASSERT_TRUE(check.index) << check.error;
    EXPECT_EQ(list.hostPaths[*check.index], game.path() / kQian / (kCheng + ".txt"));
    check = CheckFileRequest(list, Request("\\" + kYunGbk + "\\" + kYunGbk + "\\a.dat", 2));
    ASSERT_TRUE(check.index) << check.error;
    EXPECT_EQ(list.hostPaths[*check.index], game.path() / kYun / kYun / "a.dat");
    // The UTF-8 name itself is no name of the list.
    EXPECT_FALSE(CheckFileRequest(list, Request("\\" + kQian + "\\" + kCheng + ".txt", 5)).index);
}

TEST(ClientCodePage, NamesTheCodePageCannotRepresentAreRefused)
{
    TempFolder game{"qelsrv-codepage"};
    WriteFile(game.path() / (kHangul + ".txt"));
    WriteFile(game.path() / "ok.txt");
    CheckList list = BuildCheckList(game.path());
    ASSERT_EQ(list.errors.size(), 1u);
    EXPECT_EQ(list.errors[0].path, game.path() / (kHangul + ".txt"));
    EXPECT_NE(list.errors[0].reason.find("code page 936 cannot represent"), std::string::npos) << list.errors[0].reason;

    // In UTF-8 every name can be given; in 1252 淺 cannot, é can.
    EXPECT_TRUE(BuildCheckList(game.path(), 65001).ok());
    WriteFile(game.path() / kQian);
    WriteFile(game.path() / "\xC3\xA9");
    CheckList western = BuildCheckList(game.path(), 1252);
    EXPECT_EQ(western.errors.size(), 2u);
    EXPECT_TRUE(FindRecord(western, "\\\xE9"));
}

TEST(ClientCodePage, CaseCollisionsFoldAsciiOnly)
{
    TempFolder game{"qelsrv-codepage"};
    WriteFile(game.path() / ("A" + kQian));
    WriteFile(game.path() / ("a" + kQian));
    CheckList list = BuildCheckList(game.path());
    ASSERT_EQ(list.errors.size(), 1u);
    EXPECT_NE(list.errors[0].reason.find("letter case"), std::string::npos);
}

TEST(ClientCodePage, ForbiddenCharactersAndTrailingDotsAreRealCharactersOnly)
{
    TempFolder game{"qelsrv-codepage"};
    WriteFile(game.path() / "a|b");
    WriteFile(game.path() / (kQian + "."));
    CheckList list = BuildCheckList(game.path());
    EXPECT_EQ(list.errors.size(), 2u);
}

TEST(ClientCodePage, PathsEndingInA5CByteGetTheirBackslash)
{
    EXPECT_EQ(NormaliseGamePath("D:\\" + kGameGbk + "\\" + kQianGbk), "D:\\" + kGameGbk + "\\" + kQianGbk + "\\");
    EXPECT_EQ(NormaliseGamePath("D:\\" + kQianGbk + "\\"), "D:\\" + kQianGbk + "\\");
    EXPECT_EQ(NormaliseGamePath("D:\\" + kQianGbk, 1252), "D:\\" + kQianGbk) << "in 1252 the 5C is a backslash";
}

TEST(ClientCodePage, DirectorySyncSubPathsOfGbkNames)
{
    DirectorySyncOptions options;
    options.basePath = "\\" + kGameGbk + "\\" + kQianGbk;
    options.subPath = "\\" + kYunGbk + "\\";
    FileTaskSpec spec;
    std::string error;
    ASSERT_TRUE(MakeDirectorySyncSpec(options, spec, error)) << error;
    EXPECT_EQ(std::string(spec.params.subPath), options.subPath);
    EXPECT_EQ(ClientSyncRoot(options.basePath, options.subPath),
              "c:\\" + kGameGbk + "\\" + kQianGbk + "\\" + kYunGbk + "\\");
    // A base that ends in 淺 keeps it whole (no backslash is taken off).
    EXPECT_EQ(ClientSyncRoot("\\" + kQianGbk, "\\"), "c:\\" + kQianGbk + "\\");
}

TEST(ClientCodePage, ArgumentsConvertFromUtf8)
{
    EXPECT_EQ(ArgumentToClient("D:\\" + kGame + "\\" + kQian + "\\", 936), "D:\\" + kGameGbk + "\\" + kQianGbk + "\\");
    EXPECT_EQ(ArgumentToClient("D:\\" + kHangul, 936), std::nullopt);
    EXPECT_EQ(ArgumentToClient("D:\\" + kHangul, 65001), "D:\\" + kHangul);
    EXPECT_EQ(ClientToDisplay(kQianGbk + "x", 936), kQian + "x");
}

#ifdef QEL_TEST_QELSRV
namespace {

struct ToolRun {
    int status = -1;
    std::string output;
};

// Runs qelsrv with the arguments (each single-quoted for the shell).
ToolRun Qelsrv(const std::vector<std::string>& arguments)
{
    std::string command = QEL_TEST_QELSRV;
    for (const std::string& argument : arguments) {
        std::string quoted;
        for (char c : argument)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += " 2>&1";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 4096> buffer;
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        run.output.append(buffer.data(), got);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace

TEST(ClientCodePageCommands, PathsTheCodePageCannotRepresentRefuseTheCommandBeforeAnythingIsSent)
{
    TempFolder game{"qelsrv-codepage"};
    WriteFile(game.path() / "a.txt");
    // Port 1 of loopback: nothing listens, and nothing may be tried.
    ToolRun update = Qelsrv({"update", "127.0.0.1:1", "--game", game.path().string(), "--path",
                             "D:\\" + kHangul + "\\x\\", "--version", "1"});
    EXPECT_EQ(update.status, 2) << update.output;
    EXPECT_NE(update.output.find("code page 936 cannot represent every character of --path 'D:\\" + kHangul),
              std::string::npos)
        << update.output;
    EXPECT_EQ(update.output.find("127.0.0.1:1"), std::string::npos) << "nothing was tried: " << update.output;

    ToolRun dirsync = Qelsrv({"dirsync", "127.0.0.1:1", "--dir", game.path().string(), "--base", "\\" + kHangul,
                              "--sub", "\\" + kHangul + "\\"});
    EXPECT_EQ(dirsync.status, 2) << dirsync.output;
    EXPECT_NE(dirsync.output.find("--base '\\" + kHangul + "', --sub '\\" + kHangul + "\\'"), std::string::npos)
        << dirsync.output;

    ToolRun remove = Qelsrv({"delete", "127.0.0.1:1", "--path", "D:\\games\\" + kHangul});
    EXPECT_EQ(remove.status, 2) << remove.output;
    EXPECT_NE(remove.output.find("--path"), std::string::npos) << remove.output;

    // In UTF-8 the same path is fine: the command goes on to the (absent) client.
    ToolRun utf8 =
        Qelsrv({"update", "127.0.0.1:1", "--game", game.path().string(), "--path", "D:\\" + kHangul + "\\x\\",
                "--version", "1", "--codepage", "65001", "--connect-timeout", "1"});
    EXPECT_EQ(utf8.status, 1) << utf8.output;

    ToolRun bad = Qelsrv({"update", "127.0.0.1:1", "--game", game.path().string(), "--path", "D:\\x\\", "--version",
                          "1", "--codepage", "1251"});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("--codepage"), std::string::npos) << bad.output;
}

TEST(ClientCodePageCommands, ChecklistWritesGbkNames)
{
    TempFolder game{"qelsrv-codepage"};
    WriteFile(game.path() / kQian / "a.txt");
    fs::path out = game.path().parent_path() / (game.path().filename().string() + ".dat");
    ToolRun run = Qelsrv({"checklist", game.path().string(), "-o", out.string()});
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream in(out, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    fs::remove(out);
    EXPECT_NE(bytes.find("\\" + kQianGbk + "\\a.txt"), std::string::npos);
    EXPECT_EQ(bytes.find(kQian), std::string::npos);
}
#endif
