// Read-only file mappings as the check list is read: the whole file mapped,
// the content as written, an empty file refused, and a mapped file that can't
// be deleted or truncated while it is mapped.
#include "workspace.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr DWORD kMappedAlignment = 1132; // ERROR_MAPPED_ALIGNMENT

class Mapping : public qeltest::Workspace {
protected:
    // Opened as the check list is: read and write, sharing read and write.
    HANDLE OpenForMapping(const std::string& name)
    {
        return CreateFileA(Path(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(Mapping, AnEmptyFileCannotBeMapped)
{
    HANDLE file = OpenForMapping("empty.dat");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_INVALID));
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(Mapping, ViewsShowTheFileAsWritten)
{
    std::string content;
    for (int i = 0; i < 70000; ++i)
        content += char('a' + i % 26); // more than one 64 KiB granule
    MakeFile("list.dat", content);
    HANDLE file = OpenForMapping("list.dat");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr) << GetLastError();

    const char* whole = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(whole, nullptr) << GetLastError();
    EXPECT_EQ(std::string(whole, content.size()), content);

    const char* head = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 10));
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(std::string(head, 10), content.substr(0, 10));

    const char* second = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0x10000, 0));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(second, content.size() - 0x10000), content.substr(0x10000));

    EXPECT_TRUE(UnmapViewOfFile(head));
    EXPECT_TRUE(UnmapViewOfFile(second));
    EXPECT_TRUE(UnmapViewOfFile(whole));
    SetLastError(0);
    EXPECT_FALSE(UnmapViewOfFile(whole));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
    EXPECT_TRUE(CloseHandle(mapping));
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(Mapping, ViewsAndSectionsBeyondTheFileFail)
{
    MakeFile("small.dat", "hello mapping");
    HANDLE file = OpenForMapping("small.dat");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 100, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));

    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    struct Case {
        DWORD offset;
        SIZE_T bytes;
        DWORD error;
    } cases[] = {{0, 14, ERROR_ACCESS_DENIED}, {1, 5, kMappedAlignment}, {0x10000, 5, ERROR_INVALID_PARAMETER}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, c.offset, c.bytes), nullptr);
        EXPECT_EQ(GetLastError(), c.error) << c.offset << " " << c.bytes;
    }
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(file, FILE_MAP_READ, 0, 0, 0), nullptr); // a file handle is no mapping
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(mapping));
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(Mapping, AMappedFileCannotBeDeletedOrTruncated)
{
    MakeFile("list.dat", "abcdef");
    HANDLE file = OpenForMapping("list.dat");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);

    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(Path("list.dat").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    SetLastError(0);
    HANDLE again = CreateFileA(Path("list.dat").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_USER_MAPPED_FILE));
    // Reading it is still allowed.
    HANDLE reader = CreateFileA(Path("list.dat").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);

    // Released as the check list is: handles first, then the view.
    EXPECT_TRUE(CloseHandle(mapping));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(std::string(static_cast<const char*>(view), 6), "abcdef"); // the view outlives the handles
    // The view alone still holds the file. Wine lets the file go once its
    // handle is closed; Windows keeps refusing while a view is mapped.
    if (!qeltest::RunningUnderWine()) {
        EXPECT_FALSE(DeleteFileA(Path("list.dat").c_str()));
    }
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(DeleteFileA(Path("list.dat").c_str())) << GetLastError();
}

TEST_F(Mapping, WrongArgumentsFail)
{
    MakeFile("x.dat", "x");
    HANDLE writeOnly = CreateFileA(Path("x.dat").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileMappingA(writeOnly, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    EXPECT_TRUE(CloseHandle(writeOnly));

    HANDLE file = OpenForMapping("x.dat");
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingA(file, nullptr, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(file));
}

} // namespace
