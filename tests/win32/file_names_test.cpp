// Names: looked up without regard to case, runs of backslashes as one, and
// the two "not found" errors told apart.
#include "workspace.h"

namespace {

class FileNames : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        MakeDirectory("tarnGameVer");
        MakeFile("tarnGameVer\\tarnGameVer.txt", "v1");
    }
};

TEST_F(FileNames, AnyCaseAndRunsOfSeparatorsNameTheSameFile)
{
    const char* names[] = {
        "tarnGameVer\\tarnGameVer.txt",
        "tarngamever\\tarngamever.txt",
        "TARNGAMEVER\\TARNGAMEVER.TXT",
        "tarngamever\\\\tarnGameVer.txt",
        "tarngamever/tarnGameVer.txt",
        "tarngamever\\.\\tarnGameVer.txt",
        "tarngamever\\..\\tarnGameVer\\tarnGameVer.txt",
        "tarngamever\\tarnGameVer.txt.",
    };
    for (const char* name : names) {
        EXPECT_EQ(ReadAll(name), "v1") << name;
        EXPECT_EQ(qeltest::KeptAttributes(GetFileAttributesA(Path(name).c_str())), 0u) << name;
    }
    EXPECT_EQ(GetFileAttributesA(Path("TarnGameVER").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileNames, CreationMeetsTheExistingEntryWhateverTheCase)
{
    EXPECT_FALSE(CreateDirectoryA(Path("tarngamever").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));

    HANDLE h = CreateFileA(Path("TARNGAMEVER\\TARNGAMEVER.TXT").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));

    h = CreateFileA(Path("tarngamever\\TARNGAMEVER.TXT").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "v2", 2, &written, nullptr));
    CloseHandle(h);

    // Still one file, under its first name.
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("tarnGameVer\\*.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "tarnGameVer.txt");
    EXPECT_FALSE(FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_EQ(ReadAll("tarnGameVer\\tarnGameVer.txt"), "v2");
}

TEST_F(FileNames, NewFilesGoIntoTheExistingFolder)
{
    MakeFile("TARNGAMEVER\\QELFilesInfo.dat.tmp", "x");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("tarnGameVer\\qelfilesinfo.DAT.TMP").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "QELFilesInfo.dat.tmp") << "the name as it was created";
    FindClose(find);
    EXPECT_TRUE(DeleteFileA(Path("tarngamever\\qelfilesinfo.dat.tmp").c_str()));
    EXPECT_FALSE(Exists("tarnGameVer\\QELFilesInfo.dat.tmp"));
}

TEST_F(FileNames, MissingFolderAndMissingFileAreDifferentErrors)
{
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"absent.txt", ERROR_FILE_NOT_FOUND},
        {"tarnGameVer\\absent.txt", ERROR_FILE_NOT_FOUND},
        {"absent\\tarnGameVer.txt", ERROR_PATH_NOT_FOUND},
        {"absent\\deeper\\x.txt", ERROR_PATH_NOT_FOUND},
        {"tarnGameVer\\tarnGameVer.txt\\x", ERROR_PATH_NOT_FOUND}, // a file is no folder
    };
    for (const Case& c : cases) {
        HANDLE h = CreateFileA(Path(c.name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << "CreateFileA " << c.name;
        EXPECT_EQ(GetFileAttributesA(Path(c.name).c_str()), INVALID_FILE_ATTRIBUTES) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << "GetFileAttributesA " << c.name;
        EXPECT_FALSE(DeleteFileA(Path(c.name).c_str())) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << "DeleteFileA " << c.name;
    }
    // Creating in a missing folder: the folder is what is missing.
    HANDLE h = CreateFileA(Path("absent\\new.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

// A folder name keeps its trailing spaces (and all but one ending dot) in every
// call, so what one call creates the next finds; only the name that ends the
// path, once "." and ".." are applied, loses them.
TEST_F(FileNames, TrailingSpacesOfAFolderNameAreKeptByEveryCall)
{
    ASSERT_TRUE(CreateDirectoryA(Path("y \\").c_str(), nullptr));
    MakeFile("y \\inside.txt", "in y-space");
    MakeDirectory("y");

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("y \\*.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "inside.txt");
    FindClose(find);
    EXPECT_EQ(FindFirstFileA(Path("y\\*.txt").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Exists("y\\inside.txt"));
    EXPECT_EQ(ReadAll("y \\inside.txt"), "in y-space");

    enum class Entry { Folder, File, Missing };
    auto entryAt = [&](const char* name) {
        DWORD attributes = GetFileAttributesA(Path(name).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return Entry::Missing;
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Entry::Folder : Entry::File;
    };
    struct Case {
        const char* name;
        Entry entry;
    } cases[] = {
        {"y ", Entry::Folder},    // the final name: "y"
        {"y \\.", Entry::Folder}, // "y " ends the path once "." goes
        {"y \\..\\y \\inside.txt", Entry::File},
        {"y . \\inside.txt", Entry::Missing},
        {"y.\\inside.txt", Entry::Missing}, // the folder "y." is "y"
    };
    for (const Case& c : cases)
        EXPECT_EQ(entryAt(c.name), c.entry) << c.name;
}

TEST_F(FileNames, WildcardsAndForbiddenCharactersAreNoNames)
{
    for (const char* name : {"tarnGame*\\x.txt", "a?b.txt", "a|b.txt", "a<b.txt", "a\"b.txt"}) {
        HANDLE h =
            CreateFileA(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME)) << name;
    }
}

} // namespace
