// VirtualAlloc, VirtualFree, VirtualLock and VirtualUnlock as the download
// loop uses them: a 512 KiB page-aligned read-write buffer, locked while a
// task runs, released whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr SIZE_T kReceiveBuffer = 0x80000;

TEST(VirtualMemory, CommitGivesZeroedWritableMemoryOnAllocationBoundaries)
{
    for (SIZE_T size : {SIZE_T(1), SIZE_T(5000), kReceiveBuffer}) {
        auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
        ASSERT_NE(p, nullptr) << GetLastError();
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 0x10000, 0u); // the allocation granularity
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[size - 1], 0);
        memset(p, 0xA5, size);
        // The whole last page is committed as well.
        const SIZE_T pageEnd = (size + 4095) & ~SIZE_T(4095);
        p[pageEnd - 1] = 1;
        EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE)) << GetLastError();
    }
}

TEST(VirtualMemory, ReserveThenCommitInside)
{
    auto* base = static_cast<char*>(VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    void* committed = VirtualAlloc(base + 5000, 100, MEM_COMMIT, PAGE_READWRITE);
    EXPECT_EQ(committed, base + 4096); // rounded down to its page
    static_cast<char*>(committed)[0] = 'x';
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
}

TEST(VirtualMemory, WrongArgumentsFail)
{
    struct Case {
        SIZE_T size;
        DWORD type;
        DWORD protect;
    } cases[] = {
        {0, MEM_COMMIT, PAGE_READWRITE},
        {4096, 0, PAGE_READWRITE},
        {4096, MEM_RELEASE, PAGE_READWRITE},
        {4096, MEM_COMMIT, 0},
        {4096, MEM_COMMIT, PAGE_READONLY | PAGE_READWRITE},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(VirtualAlloc(nullptr, c.size, c.type, c.protect), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << c.size << " " << c.type << " " << c.protect;
    }
}

TEST(VirtualMemory, ReleaseTakesTheBaseAndSizeZero)
{
    auto* p = static_cast<char*>(VirtualAlloc(nullptr, 0x20000, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(VirtualFree(p, 0x20000, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(VirtualFree(p + 4096, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
    EXPECT_FALSE(VirtualFree(p, 0, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    p[0x1FFFF] = 1; // still all there
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualMemory, LockAndUnlockTheReceiveBuffer)
{
    auto* p = static_cast<char*>(VirtualAlloc(nullptr, kReceiveBuffer, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(VirtualLock(p, kReceiveBuffer)) << GetLastError();
    p[kReceiveBuffer - 1] = 7;
    EXPECT_TRUE(VirtualUnlock(p, kReceiveBuffer)) << GetLastError();
    // Locked again and released without unlocking, as a task that ends early does.
    EXPECT_TRUE(VirtualLock(p, kReceiveBuffer));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualMemory, LockingMemoryThatIsNotCommittedFails)
{
    auto* reserved = static_cast<char*>(VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(reserved, nullptr);
    EXPECT_FALSE(VirtualLock(reserved, 4096));
    EXPECT_TRUE(VirtualFree(reserved, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualLock(reserved, 4096)); // released
}

} // namespace
