// FILETIME (100-nanosecond units since 1601-01-01 UTC) and POSIX timespec
// (seconds and nanoseconds since 1970-01-01 UTC). Pure arithmetic.
#ifndef QEL_WIN32POSIX_FILETIME_H
#define QEL_WIN32POSIX_FILETIME_H

#include <windows.h>

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>

// The layer sizes files past 4 GiB, lists folders whose entries have 64-bit
// positions and keeps times past 2038, also in a 32-bit build: every Linux
// build defines _FILE_OFFSET_BITS=64 and _TIME_BITS=64 (CMakeLists.txt).
static_assert(sizeof(off_t) == 8, "the Win32 layer needs 64-bit file offsets (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(time_t) == 8, "the Win32 layer needs 64-bit times (_TIME_BITS=64)");

namespace win32posix {

// FILETIME of 1970-01-01 00:00:00 UTC.
inline constexpr uint64_t kFiletimeOfUnixEpoch = 116444736000000000ull;

inline uint64_t FiletimeToU64(const FILETIME& ft)
{
    return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME FiletimeFromU64(uint64_t value)
{
    return FILETIME{DWORD(value & 0xFFFFFFFFu), DWORD(value >> 32)};
}

// Exact conversion (every FILETIME is a whole number of 100 ns). Values above
// INT64_MAX, which Windows treats as invalid times, give nullopt.
std::optional<timespec> TimespecFromFiletime(const FILETIME& ft);

// Conversion rounded down to the 100 ns below. Times before 1601 or beyond the
// FILETIME range give nullopt. For every valid FILETIME f,
// FiletimeFromTimespec(*TimespecFromFiletime(f)) == f.
std::optional<FILETIME> FiletimeFromTimespec(const timespec& ts);

} // namespace win32posix

#endif
