// Critical sections and Sleep. A CRITICAL_SECTION is recursive, as on Windows:
// its Impl pointer owns a std::recursive_mutex. Not emulated: spin counts,
// TryEnterCriticalSection, and the debugging fields of the Windows structure;
// entering a deleted or never initialised section is undefined, as there.
#include <windows.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

std::recursive_mutex& MutexOf(LPCRITICAL_SECTION section)
{
    return *static_cast<std::recursive_mutex*>(section->Impl);
}

} // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    lpCriticalSection->Impl = new std::recursive_mutex;
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->Impl);
    lpCriticalSection->Impl = nullptr;
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    MutexOf(lpCriticalSection).lock();
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    MutexOf(lpCriticalSection).unlock();
}

// Sleep(0) gives up the rest of the time slice, as on Windows.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
