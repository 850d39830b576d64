// DeleteTree on a drive mapped to a temporary folder: what goes, what stays,
// and that a link is removed without touching what it points to.
#include "MaintenanceTestSupport.h"
#include "StatusText.h"
#include "filetask/DeleteTree.h"

#include <windows.h>

#include <gtest/gtest.h>

using namespace qek;

namespace fs = std::filesystem;

namespace {

using mnttest::PutHostFile;
using mnttest::TestDrives;

class DeleteTreeTest : public ::testing::Test {
protected:
    TestDrives drives{{{'C'}, {'D'}}, 'C'};

    bool Exists(std::string_view windowsPath) const
    {
        std::error_code ignored;
        return fs::exists(fs::symlink_status(drives.Host(windowsPath), ignored));
    }
    void MakeReadOnly(const char* windowsPath)
    {
        const DWORD attributes = GetFileAttributesA(windowsPath);
        ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << windowsPath;
        ASSERT_TRUE(SetFileAttributesA(windowsPath, attributes | FILE_ATTRIBUTE_READONLY)) << windowsPath;
    }
    void PutGame()
    {
        PutHostFile(drives.Host(R"(D:\games\x\a.txt)"));
        PutHostFile(drives.Host(R"(D:\games\x\sub\b.txt)"));
        PutHostFile(drives.Host(R"(D:\games\x\sub\deeper\c.txt)"));
        fs::create_directories(drives.Host(R"(D:\games\x\empty)"));
        PutHostFile(drives.Host(R"(D:\games\other\keep.txt)"));
    }
};

TEST_F(DeleteTreeTest, RemovesTheWholeTreeAndNothingBesideIt)
{
    PutGame();
    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), "ok");
    EXPECT_FALSE(Exists(R"(D:\games\x)"));
    EXPECT_TRUE(Exists(R"(D:\games\other\keep.txt)"));
}

TEST_F(DeleteTreeTest, TrailingBackslashesNameTheSameTree)
{
    for (const char* path : {R"(D:\games\x\)", R"(D:\games\x\\)"}) {
        PutGame();
        EXPECT_EQ(StatusText(DeleteTree(path)), "ok") << path;
        EXPECT_FALSE(Exists(R"(D:\games\x)")) << path;
    }
}

TEST_F(DeleteTreeTest, AFileIsDeletedAndAMissingPathFails)
{
    PutHostFile(drives.Host(R"(D:\games\x)"));
    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), "ok");
    EXPECT_FALSE(Exists(R"(D:\games\x)"));
    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), FailedWith(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeleteTreeTest, AReadOnlyFileKeepsItsDirectoryChain)
{
    PutGame();
    MakeReadOnly(R"(D:\games\x\sub\deeper\c.txt)");
    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), FailedWith(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(Exists(R"(D:\games\x\sub\deeper\c.txt)"));
    EXPECT_FALSE(Exists(R"(D:\games\x\a.txt)"));
    EXPECT_FALSE(Exists(R"(D:\games\x\sub\b.txt)"));
    EXPECT_FALSE(Exists(R"(D:\games\x\empty)"));
}

TEST_F(DeleteTreeTest, AReadOnlyEmptyDirectoryIsRemoved)
{
    PutGame();
    MakeReadOnly(R"(D:\games\x\empty)");
    MakeReadOnly(R"(D:\games\x)");
    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), "ok");
    EXPECT_FALSE(Exists(R"(D:\games\x)"));
}

TEST_F(DeleteTreeTest, ALinkToAFolderOutsideIsRemovedAndItsTargetSurvives)
{
    PutGame();
    PutHostFile(drives.Outside() / "precious" / "save.dat");
    PutHostFile(drives.Outside() / "single.dat");
    fs::create_directory_symlink(drives.Outside() / "precious", drives.Host(R"(D:\games\x\sub\dirlink)"));
    fs::create_symlink(drives.Outside() / "single.dat", drives.Host(R"(D:\games\x\filelink)"));
    ASSERT_EQ(GetFileAttributesA(R"(D:\games\x\sub\dirlink)"), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);

    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), "ok");
    EXPECT_FALSE(Exists(R"(D:\games\x)"));
    EXPECT_TRUE(fs::exists(drives.Outside() / "precious" / "save.dat"));
    EXPECT_TRUE(fs::exists(drives.Outside() / "single.dat"));
}

TEST_F(DeleteTreeTest, ATreeThatIsItselfALinkLosesOnlyTheLink)
{
    PutHostFile(drives.Outside() / "precious" / "save.dat");
    fs::create_directories(drives.Host(R"(D:\games)"));
    fs::create_directory_symlink(drives.Outside() / "precious", drives.Host(R"(D:\games\x)"));

    EXPECT_EQ(StatusText(DeleteTree(R"(D:\games\x)")), "ok");
    EXPECT_FALSE(Exists(R"(D:\games\x)"));
    EXPECT_TRUE(fs::exists(drives.Outside() / "precious" / "save.dat"));
}

} // namespace
