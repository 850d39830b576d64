// A folder the client holds, as it holds the folders it writes in and
// deletes from (FolderChain: opened as itself, sharing reading and writing
// but not deletion), can be neither renamed nor removed by another process,
// nor can any folder above it; the other process still creates and removes
// files inside. Once let go, the folder can be renamed again. (Windows and
// Wine only: in the Win32 layer on Linux another process's rename cannot be
// refused, and paths below a held folder go through its descriptor instead.)
#include "filetask/DeleteTree.h"
#include "filetask/HeldFolders.h"

#include "workspace.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

class HeldFolder : public qeltest::Workspace {
protected:
    // Runs the other process ("held_folder_other.exe", beside this test) with
    // `arguments`; its exit code is the system error code of its call, 0
    // when the call succeeded.
    DWORD OtherProcess(const std::string& arguments)
    {
        char self[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
        EXPECT_GT(length, 0u);
        std::string program(self, length);
        program = program.substr(0, program.find_last_of('\\') + 1) + "held_folder_other.exe";
        std::string commandLine = "\"" + program + "\" " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
            return 0;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return code;
    }

    static std::string Quoted(const std::string& path) { return "\"" + path + "\""; }
};

TEST_F(HeldFolder, AnotherProcessCannotRenameOrRemoveItOrAFolderAboveIt)
{
    ASSERT_TRUE(CreateDirectoryA(Path("game").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Path("game\\sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Path("game\\sub\\empty").c_str(), nullptr));
    qek::FolderChain chain(Path("game\\"));
    std::optional<qek::UntrustedLink> untrusted;
    ASSERT_TRUE(chain.HoldRoot(qek::MissingFolder::Stop, untrusted).IsOk());
    ASSERT_FALSE(untrusted.has_value());
    ASSERT_TRUE(chain.HoldBelowRoot("\\sub\\empty\\", qek::MissingFolder::Stop).IsOk());

    EXPECT_NE(OtherProcess("rename " + Quoted(Path("game\\sub\\empty")) + " " + Quoted(Path("game\\sub\\aside"))), 0u);
    EXPECT_NE(OtherProcess("rename " + Quoted(Path("game\\sub")) + " " + Quoted(Path("game\\aside"))), 0u);
    EXPECT_NE(OtherProcess("rename " + Quoted(Path("game")) + " " + Quoted(Path("aside"))), 0u);
    EXPECT_NE(OtherProcess("remove " + Quoted(Path("game\\sub\\empty"))), 0u);
    EXPECT_EQ(GetFileAttributesA(Path("game\\sub\\empty").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              DWORD{FILE_ATTRIBUTE_DIRECTORY});
    // Players keep using their folders.
    EXPECT_EQ(OtherProcess("create " + Quoted(Path("game\\sub\\empty\\save.dat"))), 0u);
    EXPECT_EQ(OtherProcess("delete " + Quoted(Path("game\\sub\\empty\\save.dat"))), 0u);

    chain.ReleaseAll();
    EXPECT_EQ(OtherProcess("rename " + Quoted(Path("game\\sub\\empty")) + " " + Quoted(Path("game\\sub\\aside"))), 0u);
    EXPECT_EQ(OtherProcess("remove " + Quoted(Path("game\\sub\\aside"))), 0u);
}

// The tree removal of delete-game and the scan, as the task makes it: the
// chain held down to the game's parent, the game folder let go and taken
// again by DeleteTree, with the right to remove it, and every entry below
// removed through its own handle.
TEST_F(HeldFolder, ATreeIsRemovedThroughItsHandlesWhileItsParentIsHeld)
{
    ASSERT_TRUE(CreateDirectoryA(Path("game").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Path("game\\data").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Path("game\\data\\deep").c_str(), nullptr));
    MakeFile("game\\data\\deep\\a.pak", "a");
    MakeFile("game\\x.exe", "x");
    ASSERT_TRUE(SetFileAttributesA(Path("game\\x.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    qek::FolderChain chain(Path("game\\"));
    std::optional<qek::UntrustedLink> untrusted;
    ASSERT_TRUE(chain.HoldRoot(qek::MissingFolder::Stop, untrusted).IsOk());
    chain.ReleaseLast();

    // A read-only file stays, and with it the game folder.
    EXPECT_EQ(qek::DeleteTree(Path("game").c_str()).Code(), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(Exists("game\\x.exe"));
    EXPECT_FALSE(Exists("game\\data"));

    ASSERT_TRUE(SetFileAttributesA(Path("game\\x.exe").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(qek::DeleteTree(Path("game").c_str()).IsOk());
    EXPECT_FALSE(Exists("game"));
}

} // namespace
