// FindFirstFileA / FindNextFileA / FindClose: a plain path finds the entry
// itself, a "*.*" or "*" pattern lists a folder with "." and ".." first, other
// patterns match without regard to case, and a drive root finds nothing.
#include "workspace.h"

#include <set>
#include <vector>

namespace {

class Find : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        MakeDirectory("sub");
        MakeFile("sub\\a.txt", "12345");
        MakeFile("sub\\B.dat", "");
        MakeFile("sub\\noext", "x");
        MakeDirectory("sub\\c");
    }

    // Every name a search reports, in order; error code when it finds nothing.
    std::vector<std::string> Names(const std::string& pattern, DWORD* error = nullptr)
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            if (error)
                *error = GetLastError();
            return names;
        }
        do
            names.push_back(data.cFileName);
        while (FindNextFileA(find, &data));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(find));
        return names;
    }
};

TEST_F(Find, PlainPathFindsTheEntryItself)
{
    const uint64_t time = 132223104001234567ull;
    HANDLE h = CreateFileA(Path("sub\\a.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME ft{DWORD(time & 0xFFFFFFFFu), DWORD(time >> 32)};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("SUB\\A.TXT").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a.txt");
    EXPECT_EQ(qeltest::KeptAttributes(data.dwFileAttributes), 0u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, ft.dwLowDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, ft.dwHighDateTime);
    EXPECT_FALSE(FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(find));

    find = FindFirstFileA(Path("sub\\c").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "c");
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    FindClose(find);

    find = FindFirstFileA(Path("sub").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "sub");
    FindClose(find);
}

TEST_F(Find, FolderPatternsListEverythingWithDotsFirst)
{
    for (const char* pattern : {"sub\\*.*", "sub\\*", "SUB\\*.*", "sub\\\\*.*"}) {
        std::vector<std::string> names = Names(Path(pattern));
        ASSERT_GE(names.size(), 2u) << pattern;
        EXPECT_EQ(names[0], ".") << pattern;
        EXPECT_EQ(names[1], "..") << pattern;
        std::set<std::string> rest(names.begin() + 2, names.end());
        EXPECT_EQ(rest, (std::set<std::string>{"a.txt", "B.dat", "noext", "c"})) << pattern;
        EXPECT_EQ(names.size(), 6u) << pattern;
    }
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("sub\\c\\*.*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << "an empty folder still holds . and ..";
    EXPECT_STREQ(data.cFileName, ".");
    EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    ASSERT_TRUE(FindNextFileA(find, &data));
    EXPECT_STREQ(data.cFileName, "..");
    EXPECT_FALSE(FindNextFileA(find, &data));
    FindClose(find);
}

TEST_F(Find, OtherPatternsMatchWithoutRegardToCase)
{
    struct Case {
        const char* pattern;
        std::set<std::string> names;
    } cases[] = {
        {"sub\\*.txt", {"a.txt"}}, {"sub\\*.TXT", {"a.txt"}}, {"sub\\b.*", {"B.dat"}},
        {"sub\\?.dat", {"B.dat"}}, {"sub\\no*", {"noext"}},   {"sub\\*t*", {"a.txt", "B.dat", "noext"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names = Names(Path(c.pattern));
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), c.names) << c.pattern;
        EXPECT_EQ(names.size(), c.names.size()) << c.pattern;
    }
}

TEST_F(Find, NothingFound)
{
    struct Case {
        std::string pattern;
        DWORD error;
    } cases[] = {
        {Path("sub\\zzz"), ERROR_FILE_NOT_FOUND},     {Path("sub\\*.zzz"), ERROR_FILE_NOT_FOUND},
        {Path("missing\\*.*"), ERROR_PATH_NOT_FOUND}, {Path("missing\\x"), ERROR_PATH_NOT_FOUND},
        {Path("sub\\"), ERROR_FILE_NOT_FOUND},     // a trailing backslash leaves no name to match
        {root.substr(0, 3), ERROR_FILE_NOT_FOUND}, // a drive root is no entry
    };
    for (const Case& c : cases) {
        DWORD error = 0;
        EXPECT_TRUE(Names(c.pattern, &error).empty()) << c.pattern;
        EXPECT_EQ(error, c.error) << c.pattern;
    }
}

TEST_F(Find, InvalidHandleIsRefused)
{
    WIN32_FIND_DATAA data;
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
