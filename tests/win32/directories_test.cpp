// CreateDirectoryA, RemoveDirectoryA and SHCreateDirectoryExA.
#include "workspace.h"

#include <shlobj.h>

namespace {

using Directories = qeltest::Workspace;

TEST_F(Directories, CreateOne)
{
    EXPECT_TRUE(CreateDirectoryA(Path("new").c_str(), nullptr));
    EXPECT_EQ(GetFileAttributesA(Path("new").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(CreateDirectoryA(Path("new\\inner\\").c_str(), nullptr)) << "a trailing backslash is allowed";

    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"new", ERROR_ALREADY_EXISTS},       {"NEW", ERROR_ALREADY_EXISTS},
        {"file.txt", ERROR_ALREADY_EXISTS}, // a file of that name counts too
        {"absent\\x", ERROR_PATH_NOT_FOUND}, {"file.txt\\x", ERROR_PATH_NOT_FOUND},
    };
    MakeFile("file.txt", "x");
    for (const Case& c : cases) {
        EXPECT_FALSE(CreateDirectoryA(Path(c.name).c_str(), nullptr)) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
}

TEST_F(Directories, RemoveOne)
{
    MakeDirectory("full");
    MakeFile("full\\x.txt", "x");
    MakeDirectory("empty");
    MakeFile("file.txt", "x");
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"full", ERROR_DIR_NOT_EMPTY},
        {"file.txt", ERROR_DIRECTORY},
        {"absent", ERROR_FILE_NOT_FOUND},
        {"absent\\x", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(RemoveDirectoryA(Path(c.name).c_str())) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_TRUE(Exists("full\\x.txt"));
    EXPECT_TRUE(Exists("file.txt"));
    EXPECT_TRUE(RemoveDirectoryA(Path("EMPTY").c_str()));
    EXPECT_FALSE(Exists("empty"));
    EXPECT_TRUE(DeleteFileA(Path("full\\x.txt").c_str()));
    EXPECT_TRUE(RemoveDirectoryA(Path("full\\").c_str()));
}

TEST_F(Directories, DeleteFileRefusesDirectories)
{
    MakeDirectory("dir");
    EXPECT_FALSE(DeleteFileA(Path("dir").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists("dir"));
}

TEST_F(Directories, ShellCreatesEveryMissingParent)
{
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, Path("a\\b\\c\\d").c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(GetFileAttributesA(Path("a\\b\\c\\d").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, Path("a\\b\\c\\d").c_str(), nullptr), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, Path("A\\B").c_str(), nullptr), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, Path("a\\b\\e\\f\\").c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(GetFileAttributesA(Path("a\\b\\e\\f").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, Path("x\\\\y").c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(GetFileAttributesA(Path("x\\y").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));

    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "relative\\dir", nullptr), ERROR_BAD_PATHNAME);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_PATHNAME));

    MakeFile("a\\file", "x");
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, Path("a\\file\\sub").c_str(), nullptr), ERROR_PATH_NOT_FOUND);
}

} // namespace
