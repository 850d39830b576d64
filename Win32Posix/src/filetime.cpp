// Emulates the Windows file time (FILETIME, 100 ns units since 1601) on top of
// POSIX timespec, exactly in both directions down to 100 ns. It does not
// convert to calendar or local time (see time.cpp).
#include "filetime.h"

#include <cstdint>
#include <limits>

namespace win32posix {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kNanosecondsPerTick = 100;
constexpr int64_t kUnixEpochTicks = int64_t(kFiletimeOfUnixEpoch);

} // namespace

std::optional<timespec> TimespecFromFiletime(const FILETIME& ft)
{
    uint64_t value = FiletimeToU64(ft);
    if (value > uint64_t(std::numeric_limits<int64_t>::max()))
        return std::nullopt;
    int64_t sinceUnix = int64_t(value) - kUnixEpochTicks; // no overflow: both are in [0, INT64_MAX]
    // Floor division, so that times before 1970 keep tv_nsec in [0, 1e9).
    int64_t seconds = sinceUnix / kTicksPerSecond;
    int64_t ticks = sinceUnix % kTicksPerSecond;
    if (ticks < 0) {
        ticks += kTicksPerSecond;
        seconds -= 1;
    }
    timespec ts{};
    ts.tv_sec = time_t(seconds);
    ts.tv_nsec = long(ticks * kNanosecondsPerTick);
    return ts;
}

std::optional<FILETIME> FiletimeFromTimespec(const timespec& ts)
{
    if (ts.tv_nsec < 0 || ts.tv_nsec >= 1'000'000'000)
        return std::nullopt;
    int64_t seconds = int64_t(ts.tv_sec);
    constexpr int64_t kMaxSeconds = (std::numeric_limits<int64_t>::max() - kUnixEpochTicks) / kTicksPerSecond;
    constexpr int64_t kMinSeconds = -kUnixEpochTicks / kTicksPerSecond; // 1601-01-01 exactly
    if (seconds > kMaxSeconds || seconds < kMinSeconds)
        return std::nullopt;
    int64_t fraction = ts.tv_nsec / kNanosecondsPerTick;         // rounds down: tv_nsec >= 0
    int64_t value = seconds * kTicksPerSecond + kUnixEpochTicks; // in [0, INT64_MAX] by the bounds above
    if (value > std::numeric_limits<int64_t>::max() - fraction)
        return std::nullopt;
    return FiletimeFromU64(uint64_t(value + fraction));
}

} // namespace win32posix
