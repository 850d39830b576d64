// GetLocalTime follows the host's time zone (TZ).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// Seconds since the epoch of a SYSTEMTIME read as UTC.
time_t AsUtcSeconds(const SYSTEMTIME& time) {
    tm fields{};
    fields.tm_year = time.wYear - 1900;
    fields.tm_mon = time.wMonth - 1;
    fields.tm_mday = time.wDay;
    fields.tm_hour = time.wHour;
    fields.tm_min = time.wMinute;
    fields.tm_sec = time.wSecond;
    return timegm(&fields);
}

TEST(LocalTimeZone, FollowsTz) {
    const char* saved = getenv("TZ");
    const std::string previous = saved ? saved : "";
    struct Zone {
        const char* tz;
        long offset;  // seconds east of UTC
    } zones[] = {{"UTC0", 0}, {"CST-8", 8 * 3600}, {"EST+5", -5 * 3600}};
    for (const auto& zone : zones) {
        setenv("TZ", zone.tz, 1);
        tzset();
        const time_t before = time(nullptr);
        SYSTEMTIME local;
        GetLocalTime(&local);
        const time_t after = time(nullptr);
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

}  // namespace
