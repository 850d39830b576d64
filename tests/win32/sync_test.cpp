// Critical sections as the log uses them (recursive, excluding other
// threads), Sleep, and the local time's fields.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(CriticalSection, RecursiveForItsOwnerExclusiveForOthers)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section); // the owner may enter again
    LeaveCriticalSection(&section);

    int inside = 0;
    std::atomic<bool> otherStarted{false};
    std::atomic<bool> otherEntered{false};
    std::thread other([&] {
        otherStarted = true;
        EnterCriticalSection(&section);
        otherEntered = true;
        inside = 2;
        LeaveCriticalSection(&section);
    });
    // Wait until the other thread is about to enter (a minute at most: a
    // guard against a thread that never runs).
    for (int waited = 0; !otherStarted && waited < 6000; ++waited) {
        Sleep(10);
    }
    // Nothing tells from outside that the other thread now waits inside
    // EnterCriticalSection: this bounded pause gives a section that wrongly
    // lets it in the time to do so. On a loaded machine the thread may not
    // have reached the call by then, which can only let a fault pass unseen,
    // never fail a correct section.
    Sleep(20);
    EXPECT_FALSE(otherEntered);
    inside = 1;
    LeaveCriticalSection(&section); // the last of two entries: now the other may enter
    other.join();
    EXPECT_TRUE(otherEntered);
    EXPECT_EQ(inside, 2);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, KeepsCountsExactUnderContention)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&section);
                counter = counter + 1;
                LeaveCriticalSection(&section);
                if (i % 5000 == 0)
                    Sleep(0);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&section);
}

// Day of the week by Zeller's congruence, 0 = Sunday as in SYSTEMTIME.
int DayOfWeek(int year, int month, int day)
{
    if (month < 3) {
        month += 12;
        year -= 1;
    }
    const int k = year % 100;
    const int j = year / 100;
    const int h = (day + 13 * (month + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7; // 0 = Saturday
    return (h + 6) % 7;
}

TEST(LocalTime, FieldsAreConsistent)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2020);
    EXPECT_GE(now.wMonth, 1);
    EXPECT_LE(now.wMonth, 12);
    EXPECT_GE(now.wDay, 1);
    EXPECT_LE(now.wDay, 31);
    EXPECT_LE(now.wHour, 23);
    EXPECT_LE(now.wMinute, 59);
    EXPECT_LE(now.wSecond, 59);
    EXPECT_LE(now.wMilliseconds, 999);
    EXPECT_EQ(now.wDayOfWeek, DayOfWeek(now.wYear, now.wMonth, now.wDay));
}

} // namespace
