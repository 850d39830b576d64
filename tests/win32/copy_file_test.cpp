// CopyFileA: content, last-write time and attributes; overwriting or not;
// never a copy of a file onto itself, by any name.
#include "workspace.h"

#include <cstdint>

namespace {

class FileCopy : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        MakeDirectory("d");
        MakeFile("d\\src.bin", std::string("bytes\0with\0nul", 14));
        SetLastWrite("d\\src.bin", kTime);
    }

    void SetLastWrite(const char* name, uint64_t value)
    {
        HANDLE h =
            CreateFileA(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME ft{DWORD(value & 0xFFFFFFFFu), DWORD(value >> 32)};
        ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
        CloseHandle(h);
    }

    uint64_t LastWrite(const char* name)
    {
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(Path(name).c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return 0;
        FindClose(find);
        return (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    }

    static constexpr uint64_t kTime = 132223104001234567ull;
};

TEST_F(FileCopy, CopiesContentTimeAndAttributes)
{
    ASSERT_TRUE(CopyFileA(Path("d\\src.bin").c_str(), Path("d\\dst.bin").c_str(), TRUE)) << GetLastError();
    EXPECT_EQ(ReadAll("d\\dst.bin"), std::string("bytes\0with\0nul", 14));
    EXPECT_EQ(LastWrite("d\\dst.bin"), kTime);

    ASSERT_TRUE(SetFileAttributesA(Path("d\\src.bin").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(CopyFileA(Path("d\\src.bin").c_str(), Path("d\\ro.bin").c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(qeltest::KeptAttributes(GetFileAttributesA(Path("d\\ro.bin").c_str())),
              DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(ReadAll("d\\ro.bin"), std::string("bytes\0with\0nul", 14));
}

TEST_F(FileCopy, ExistingDestination)
{
    MakeFile("d\\dst.bin", "older and longer content");
    EXPECT_FALSE(CopyFileA(Path("d\\src.bin").c_str(), Path("d\\dst.bin").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadAll("d\\dst.bin"), "older and longer content");

    ASSERT_TRUE(CopyFileA(Path("d\\src.bin").c_str(), Path("D\\DST.BIN").c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(ReadAll("d\\dst.bin"), std::string("bytes\0with\0nul", 14));
    EXPECT_EQ(LastWrite("d\\dst.bin"), kTime);

    if (WineWritesReadOnlyFiles())
        GTEST_SKIP() << "Wine run as root lets root write read-only files";
    MakeFile("d\\ro.bin", "protected");
    ASSERT_TRUE(SetFileAttributesA(Path("d\\ro.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(CopyFileA(Path("d\\src.bin").c_str(), Path("d\\ro.bin").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadAll("d\\ro.bin"), "protected");
}

TEST_F(FileCopy, NeverOntoItself)
{
    const char* sameFile[] = {"d\\src.bin", "D\\SRC.BIN", "d\\\\src.bin", "d\\..\\d\\src.bin"};
    for (const char* name : sameFile) {
        EXPECT_FALSE(CopyFileA(Path("d\\src.bin").c_str(), Path(name).c_str(), FALSE)) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << name;
        EXPECT_FALSE(CopyFileA(Path("d\\src.bin").c_str(), Path(name).c_str(), TRUE)) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS)) << name;
        EXPECT_EQ(ReadAll("d\\src.bin"), std::string("bytes\0with\0nul", 14)) << name;
        EXPECT_EQ(LastWrite("d\\src.bin"), kTime) << name;
    }
}

TEST_F(FileCopy, Failures)
{
    EXPECT_FALSE(CopyFileA(Path("d\\none.bin").c_str(), Path("d\\x.bin").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileA(Path("d\\src.bin").c_str(), Path("nodir\\x.bin").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    HANDLE exclusive = CreateFileA(Path("d\\src.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CopyFileA(Path("d\\src.bin").c_str(), Path("d\\x.bin").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(exclusive);
    EXPECT_FALSE(Exists("d\\x.bin"));
}

} // namespace
