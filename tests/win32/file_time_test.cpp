// File times: a last-write time set through a handle comes back exactly, to
// the 100 ns, from the handle, from a new handle and from FindFirstFileA.
#include "workspace.h"

#include <cstdint>

namespace {

FILETIME MakeFiletime(uint64_t value)
{
    return FILETIME{DWORD(value & 0xFFFFFFFFu), DWORD(value >> 32)};
}
uint64_t Value(const FILETIME& ft)
{
    return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

class FileTimes : public qeltest::Workspace {
protected:
    HANDLE OpenForWrite(const char* name)
    {
        return CreateFileA(Path(name).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    uint64_t LastWriteByHandle(const char* name)
    {
        HANDLE h = CreateFileA(Path(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME write{};
        EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &write));
        CloseHandle(h);
        return Value(write);
    }
    uint64_t LastWriteByFind(const char* name)
    {
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(Path(name).c_str(), &data);
        EXPECT_NE(find, INVALID_HANDLE_VALUE);
        FindClose(find);
        return Value(data.ftLastWriteTime);
    }
};

TEST_F(FileTimes, LastWriteTimeRoundTripsTo100Nanoseconds)
{
    const uint64_t times[] = {
        132223104001234567ull, // 2020-01-01 plus an odd number of 100 ns
        132223104009999999ull, // the last 100 ns of a second
        130000000000000001ull, // 2012, one unit past a whole second
        125911584000000000ull, // 2000-01-01 00:00:00 exactly
        116444736000000000ull, // 1970-01-01, the Unix epoch
        116444735999999999ull, // 100 ns before it
        112000000000000123ull, // 1955
        97510176000000001ull,  // 1910-01-01 plus 100 ns (ext4 keeps times from 1901 on)
        157766976000000007ull, // 2100-12-... plus 700 ns
    };
    MakeFile("t.bin", "data");
    for (uint64_t value : times) {
        HANDLE h = OpenForWrite("t.bin");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME write = MakeFiletime(value);
        ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &write)) << value << " error " << GetLastError();
        FILETIME back{};
        ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &back));
        EXPECT_EQ(Value(back), value) << "same handle";
        CloseHandle(h);
        EXPECT_EQ(LastWriteByHandle("t.bin"), value) << "new handle";
        EXPECT_EQ(LastWriteByFind("t.bin"), value) << "FindFirstFileA";
    }
}

TEST_F(FileTimes, NullOrZeroLeavesATimeAlone)
{
    MakeFile("t.bin", "data");
    const uint64_t first = 132223104001234567ull;
    HANDLE h = OpenForWrite("t.bin");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME write = MakeFiletime(first);
    FILETIME access = MakeFiletime(first + 10000000);
    ASSERT_TRUE(SetFileTime(h, nullptr, &access, &write));

    FILETIME zero{0, 0};
    FILETIME newAccess = MakeFiletime(first + 20000000);
    ASSERT_TRUE(SetFileTime(h, nullptr, &newAccess, nullptr)); // last write untouched
    ASSERT_TRUE(SetFileTime(h, &zero, nullptr, &zero));        // nothing changes
    FILETIME gotAccess{}, gotWrite{};
    ASSERT_TRUE(GetFileTime(h, nullptr, &gotAccess, &gotWrite));
    EXPECT_EQ(Value(gotWrite), first);
    EXPECT_EQ(Value(gotAccess), first + 20000000);
    CloseHandle(h);
    EXPECT_EQ(LastWriteByHandle("t.bin"), first);
}

TEST_F(FileTimes, SettingNeedsWriteAccess)
{
    // Windows wants FILE_WRITE_ATTRIBUTES, which GENERIC_READ lacks; Wine
    // does not check the handle's access here.
    if (qeltest::RunningUnderWine())
        GTEST_SKIP() << "Wine sets times through a read-only handle";
    MakeFile("t.bin", "data");
    HANDLE h = CreateFileA(Path("t.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME write = MakeFiletime(132223104001234567ull);
    EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &write));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(h);
}

TEST_F(FileTimes, WrittenFileGetsItsTimeAfterTheWrites)
{
    // The order the file reception uses: write, set the time, close.
    HANDLE h = CreateFileA(Path("recv.bin").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));
    FILETIME write = MakeFiletime(131000000000000042ull);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &write));
    CloseHandle(h);
    EXPECT_EQ(LastWriteByHandle("recv.bin"), 131000000000000042ull);
}

} // namespace
