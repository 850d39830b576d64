// File pointer, end of file and size with 64-bit positions; reads and writes
// checked against the handle's access.
#include "workspace.h"

#include <cstdint>

namespace {

class FilePointer : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        file = CreateFileA(Path("big.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        Workspace::TearDown();
    }
    uint64_t Size()
    {
        DWORD high = 0xDEAD;
        DWORD low = GetFileSize(file, &high);
        return (uint64_t(high) << 32) | low;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
};

TEST_F(FilePointer, HighPartReaches64BitSizes)
{
    const uint64_t size = 5ull << 30; // 5 GiB, as the file reception sets it before writing
    LONG high = LONG(size >> 32);
    DWORD low = SetFilePointer(file, LONG(size & 0xFFFFFFFFu), &high, FILE_BEGIN);
    EXPECT_EQ(low, DWORD(size & 0xFFFFFFFFu));
    EXPECT_EQ(high, 1);
    ASSERT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(Size(), size);
    LARGE_INTEGER ex;
    ASSERT_TRUE(GetFileSizeEx(file, &ex));
    EXPECT_EQ(uint64_t(ex.QuadPart), size);

    // Back to 0, write, and cut the file at its content.
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
    ASSERT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(Size(), 5u);
}

TEST_F(FilePointer, MovesFromEachOrigin)
{
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "0123456789", 10, &written, nullptr));
    EXPECT_EQ(SetFilePointer(file, -3, nullptr, FILE_END), 7u);
    EXPECT_EQ(SetFilePointer(file, -2, nullptr, FILE_CURRENT), 5u);
    char buffer[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file, buffer, 3, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "567");

    LARGE_INTEGER distance, position;
    distance.QuadPart = 0x100000000ll + 2; // past 4 GiB, beyond the end
    ASSERT_TRUE(SetFilePointerEx(file, distance, &position, FILE_BEGIN));
    EXPECT_EQ(position.QuadPart, 0x100000002ll);
    distance.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(file, distance, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 0x100000002ll);
    EXPECT_EQ(Size(), 10u) << "moving past the end does not grow the file";

    // A position whose low half is 0xFFFFFFFF is no failure.
    LONG high = 0;
    SetLastError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(SetFilePointer(file, LONG(0xFFFFFFFFu), &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(high, 0);
}

TEST_F(FilePointer, NegativePositionIsRefusedAndChangesNothing)
{
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "abcdef", 6, &written, nullptr));
    EXPECT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetFilePointer(file, -10, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    LARGE_INTEGER zero, position;
    zero.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(file, zero, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 4);
}

TEST_F(FilePointer, WritingPastTheEndFillsWithZeros)
{
    EXPECT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "z", 1, &written, nullptr));
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    EXPECT_EQ(ReadAll("big.bin"), std::string("\0\0\0\0z", 5));
}

TEST_F(FilePointer, ReadsAndWritesNeedTheRightAccess)
{
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(file, "abc", 3, &n, nullptr));
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;

    char buffer[4];
    HANDLE reader = CreateFileA(Path("big.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE writer = CreateFileA(Path("big.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ReadFile(writer, buffer, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(reader));
    if (!qeltest::RunningUnderWine()) { // Wine passes on the host's EINVAL as ERROR_INVALID_PARAMETER
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }

    // Reading at the end succeeds with nothing.
    EXPECT_EQ(SetFilePointer(reader, 0, nullptr, FILE_END), 3u);
    n = 99;
    EXPECT_TRUE(ReadFile(reader, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(reader);
    CloseHandle(writer);
}

TEST_F(FilePointer, ClosedHandlesAreInvalid)
{
    ASSERT_TRUE(CloseHandle(file));
    HANDLE closed = file;
    file = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(closed, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(closed, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
