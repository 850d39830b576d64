// GetLocalTime: the wall-clock time in the host's local time zone, to the
// millisecond, in a SYSTEMTIME. Not emulated: Windows time-zone settings (the
// host's TZ rules apply) and the other time calls.
#include <windows.h>

#include <ctime>

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday); // 0 = Sunday, as on Windows
    lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second (tm_sec 60) is shown as 59, since SYSTEMTIME has no 60.
    lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
