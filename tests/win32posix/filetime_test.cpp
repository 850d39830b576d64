// FILETIME <-> timespec without loss (pure).
#include "filetime.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace win32posix {
namespace {

TEST(Filetime, UnixEpochAndKnownInstants)
{
    std::optional<timespec> epoch = TimespecFromFiletime(FiletimeFromU64(kFiletimeOfUnixEpoch));
    ASSERT_TRUE(epoch);
    EXPECT_EQ(epoch->tv_sec, 0);
    EXPECT_EQ(epoch->tv_nsec, 0);
    // 2001-09-09 01:46:40.1234567 UTC = 1000000000 s + 123456700 ns.
    std::optional<FILETIME> ft = FiletimeFromTimespec(timespec{1000000000, 123456700});
    ASSERT_TRUE(ft);
    EXPECT_EQ(FiletimeToU64(*ft), kFiletimeOfUnixEpoch + 10000000000000000ull + 1234567ull);
    // 1601-01-01 is FILETIME 0.
    std::optional<timespec> start = TimespecFromFiletime(FILETIME{0, 0});
    ASSERT_TRUE(start);
    EXPECT_EQ(start->tv_sec, -11644473600);
    EXPECT_EQ(start->tv_nsec, 0);
}

TEST(Filetime, RoundTripsEvery100NanosecondValue)
{
    const uint64_t values[] = {
        0,
        1,
        9999999,
        10000000, // the first second of 1601
        kFiletimeOfUnixEpoch - 1,
        kFiletimeOfUnixEpoch, // around 1970
        kFiletimeOfUnixEpoch + 1,
        94354848000000001ull,  // 1900-01-01 plus 100 ns (before 1970)
        132223104001234567ull, // 2020, odd 100 ns
        0x01D0000012345678ull,
        0x0000000100000000ull, // low half crossing
        0x7FFFFFFFFFFFFFFFull, // the last valid FILETIME (year 30828)
    };
    for (uint64_t value : values) {
        std::optional<timespec> ts = TimespecFromFiletime(FiletimeFromU64(value));
        ASSERT_TRUE(ts) << value;
        EXPECT_GE(ts->tv_nsec, 0) << value;
        EXPECT_LT(ts->tv_nsec, 1000000000) << value;
        EXPECT_EQ(ts->tv_nsec % 100, 0) << value;
        std::optional<FILETIME> back = FiletimeFromTimespec(*ts);
        ASSERT_TRUE(back) << value;
        EXPECT_EQ(FiletimeToU64(*back), value);
    }
}

TEST(Filetime, BeforeEpochKeepsNanosecondsPositive)
{
    std::optional<timespec> ts = TimespecFromFiletime(FiletimeFromU64(kFiletimeOfUnixEpoch - 1));
    ASSERT_TRUE(ts);
    EXPECT_EQ(ts->tv_sec, -1);
    EXPECT_EQ(ts->tv_nsec, 999999900);
}

TEST(Filetime, RoundsNanosecondsDownAndRefusesOutOfRange)
{
    std::optional<FILETIME> ft = FiletimeFromTimespec(timespec{0, 199});
    ASSERT_TRUE(ft);
    EXPECT_EQ(FiletimeToU64(*ft), kFiletimeOfUnixEpoch + 1);
    EXPECT_FALSE(FiletimeFromTimespec(timespec{-11644473601, 999999999})) << "before 1601";
    EXPECT_FALSE(FiletimeFromTimespec(timespec{INT64_MAX / 2, 0})) << "beyond the FILETIME range";
    EXPECT_FALSE(FiletimeFromTimespec(timespec{0, 1000000000})) << "not a normalised timespec";
    EXPECT_FALSE(TimespecFromFiletime(FiletimeFromU64(0x8000000000000000ull))) << "negative FILETIMEs are invalid";
}

} // namespace
} // namespace win32posix
