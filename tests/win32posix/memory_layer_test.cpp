// The layer's page locking, where Wine is laxer than Windows: unlocking pages
// that are not locked fails with ERROR_NOT_LOCKED, locking uncommitted memory
// with ERROR_NOACCESS, and a lock beyond the process's limit with
// ERROR_WORKING_SET_QUOTA.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr SIZE_T kBuffer = 0x80000;

TEST(PageLocks, UnlockingWhatIsNotLockedFails)
{
    auto* p = static_cast<char*>(VirtualAlloc(nullptr, kBuffer, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    SetLastError(0);
    EXPECT_FALSE(VirtualUnlock(p, 4096));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_LOCKED));

    ASSERT_TRUE(VirtualLock(p, 8192));
    EXPECT_TRUE(VirtualLock(p, 8192)); // locks are not counted, as on Windows
    EXPECT_FALSE(VirtualUnlock(p, 3 * 4096)) << "the third page is not locked";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_LOCKED));
    EXPECT_TRUE(VirtualUnlock(p + 4096, 10)); // the page that holds the range
    EXPECT_TRUE(VirtualUnlock(p, 1));
    EXPECT_FALSE(VirtualUnlock(p, 1));

    ASSERT_TRUE(VirtualLock(p, kBuffer));
    ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualUnlock(p, kBuffer)) << "releasing the memory dropped its locks";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_LOCKED));
}

TEST(PageLocks, OnlyCommittedMemoryCanBeLocked)
{
    auto* reserved = static_cast<char*>(VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(reserved, nullptr);
    SetLastError(0);
    EXPECT_FALSE(VirtualLock(reserved, 4096));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    ASSERT_NE(VirtualAlloc(reserved, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_TRUE(VirtualLock(reserved, 4096));
    EXPECT_FALSE(VirtualLock(reserved, 8192)) << "the second page is only reserved";
    EXPECT_TRUE(VirtualUnlock(reserved, 4096));
    EXPECT_TRUE(VirtualFree(reserved, 0, MEM_RELEASE));

    char onStack[64];
    EXPECT_TRUE(VirtualLock(onStack, sizeof onStack)) << "any committed memory, not only VirtualAlloc's";
    EXPECT_TRUE(VirtualUnlock(onStack, sizeof onStack));
}

// Drops CAP_IPC_LOCK (which lifts the limit for root) from this process.
bool DropLockCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_IPC_LOCK / 32].effective &= ~(1u << (CAP_IPC_LOCK % 32));
    data[CAP_IPC_LOCK / 32].permitted &= ~(1u << (CAP_IPC_LOCK % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

// In a child process: a lock limit of 64 KiB, then the 512 KiB buffer.
int LockBeyondTheLimit()
{
    if (!DropLockCapability())
        return 10;
    rlimit limit{0x10000, 0x10000};
    if (setrlimit(RLIMIT_MEMLOCK, &limit) != 0)
        return 11;
    void* p = VirtualAlloc(nullptr, kBuffer, MEM_COMMIT, PAGE_READWRITE);
    if (p == nullptr)
        return 12;
    if (VirtualLock(p, kBuffer))
        return 13;
    if (GetLastError() != ERROR_WORKING_SET_QUOTA)
        return 14;
    if (!VirtualLock(p, 4096))
        return 15; // a small lock still fits
    return 0;
}

TEST(PageLocksDeathTest, LockBeyondTheLimitFailsWithQuotaError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(LockBeyondTheLimit()), ::testing::ExitedWithCode(0), "");
}

} // namespace
