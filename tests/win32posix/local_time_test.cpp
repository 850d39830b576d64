// GetLocalTime follows the host's time zone (TZ).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// Seconds since the epoch of a SYSTEMTIME read as UTC.
time_t AsUtcSeconds(const SYSTEMTIME& time)
{
    tm fields{};
    fields.tm_year = time.wYear - 1900;
    fields.tm_mon = time.wMonth - 1;
    fields.tm_mday = time.wDay;
    fields.tm_hour = time.wHour;
    fields.tm_min = time.wMinute;
    fields.tm_sec = time.wSecond;
    return timegm(&fields);
}

// The whole seconds of CLOCK_REALTIME.
time_t RealtimeSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

TEST(LocalTimeZone, FollowsTz)
{
    const char* saved = getenv("TZ");
    const std::string previous = saved ? saved : "";
    struct Zone {
        const char* tz;
        long offset; // seconds east of UTC
    } zones[] = {{"UTC0", 0}, {"CST-8", 8 * 3600}, {"EST+5", -5 * 3600}};
    for (const auto& zone : zones) {
        setenv("TZ", zone.tz, 1);
        tzset();
        // Read the clock that GetLocalTime reads: time() returns the coarse
        // clock, which can still show the last second for up to a tick after
        // CLOCK_REALTIME has passed into the next.
        const time_t before = RealtimeSeconds();
        SYSTEMTIME local;
        GetLocalTime(&local);
        const time_t after = RealtimeSeconds();
        const time_t shown = AsUtcSeconds(local) - zone.offset;
        EXPECT_GE(shown, before) << zone.tz;
        EXPECT_LE(shown, after) << zone.tz;
    }
    if (saved) {
        setenv("TZ", previous.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

} // namespace
