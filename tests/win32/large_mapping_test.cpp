// Views of a file past 4 GiB (sparse: its size set with SetEndOfFile, three
// bytes written at 4 GiB). A view at an offset past 4 GiB, or across it,
// shows the bytes at their place. A view of the whole section does too where
// the address space can hold it; a 32-bit process's cannot, and there the view
// fails with ERROR_NOT_ENOUGH_MEMORY rather than showing fewer bytes.
#include "workspace.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr uint64_t k4GiB = 1ull << 32;

class LargeMapping : public qeltest::Workspace {
protected:
    // A file of `size` bytes, 4 GiB or more: "xyz" at 4 GiB when it reaches
    // that far, zeros elsewhere; and a read-only section of all of it.
    void MakeSection(uint64_t size)
    {
        file_ = CreateFileA(Path("large.dat").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(size);
        ASSERT_TRUE(SetFilePointerEx(file_, position, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file_)) << GetLastError();
        if (size > k4GiB) {
            position.QuadPart = static_cast<LONGLONG>(k4GiB);
            ASSERT_TRUE(SetFilePointerEx(file_, position, nullptr, FILE_BEGIN));
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(file_, "xyz", 3, &written, nullptr));
        }
        section_ = CreateFileMappingA(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
        ASSERT_NE(section_, nullptr) << GetLastError();
    }

    void CloseSection()
    {
        if (section_ != nullptr)
            CloseHandle(std::exchange(section_, nullptr));
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(std::exchange(file_, INVALID_HANDLE_VALUE));
    }

    void TearDown() override
    {
        CloseSection();
        Workspace::TearDown();
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE section_ = nullptr;
};

TEST_F(LargeMapping, ViewsPastAndAcross4GiBShowTheBytesThere)
{
    MakeSection(k4GiB + 3);
    const char* past = static_cast<const char*>(MapViewOfFile(section_, FILE_MAP_READ, 1, 0, 0));
    ASSERT_NE(past, nullptr) << GetLastError();
    EXPECT_EQ(std::string(past, 3), "xyz");
    EXPECT_TRUE(UnmapViewOfFile(past));

    // The last 64 KiB granule below 4 GiB and the three bytes above it.
    const char* across = static_cast<const char*>(MapViewOfFile(section_, FILE_MAP_READ, 0, 0xFFFF0000u, 0x10003));
    ASSERT_NE(across, nullptr) << GetLastError();
    EXPECT_EQ(std::string(across + 0xFFFF, 4), std::string("\0xyz", 4));
    EXPECT_TRUE(UnmapViewOfFile(across));
}

// Exactly 4 GiB, whose low half is 0, and 4 GiB + 3.
TEST_F(LargeMapping, AWholeViewPast4GiBIsAllOfItOrNothing)
{
    for (const uint64_t size : {k4GiB, k4GiB + 3}) {
        SCOPED_TRACE(size);
        MakeSection(size);
        if constexpr (sizeof(void*) == 4) {
            for (const DWORD access : {DWORD(FILE_MAP_READ), DWORD(FILE_MAP_COPY)}) {
                SCOPED_TRACE(access);
                SetLastError(ERROR_SUCCESS);
                EXPECT_EQ(MapViewOfFile(section_, access, 0, 0, 0), nullptr);
                EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
            }
        } else {
            // Copy on write: a read-only view would, through the layer, first
            // copy all 4 GiB into memory.
            const char* whole = static_cast<const char*>(MapViewOfFile(section_, FILE_MAP_COPY, 0, 0, 0));
            ASSERT_NE(whole, nullptr) << GetLastError();
            const size_t below4GiB = static_cast<size_t>(k4GiB - 1);
            EXPECT_EQ(std::string(whole + below4GiB, size - k4GiB + 1),
                      std::string("\0xyz", static_cast<size_t>(size - k4GiB + 1)));
            EXPECT_TRUE(UnmapViewOfFile(whole));
        }
        CloseSection();
    }
}

} // namespace
