// The layer's side of the fault-injection seam (win32posix_faults.h): each
// file-system call asks, with the host path it acts on, whether it is the
// one the plan fails. Built only where the tests need it (QEL_FAULT_PLAN); in
// the shipped programs every answer is "no" and costs nothing.
#ifndef QEL_WIN32POSIX_FAULT_PLAN_H
#define QEL_WIN32POSIX_FAULT_PLAN_H

#include <windows.h>

#include <cstddef>
#include <string>

namespace win32posix {

#ifdef QEL_FAULT_PLAN

// True when the plan fails this call: errno is then set to the plan's error
// and the caller fails as it would for that errno.
bool PlannedFault(const std::string& hostPath);

// For a write of `length` bytes: the bytes it may move (less than `length`
// when the plan cuts this write short), or `length`. A write the plan fails
// outright is told by PlannedFault, which WriteFile asks first.
DWORD PlannedWriteLength(const std::string& hostPath, DWORD length);

#else

inline bool PlannedFault(const std::string& /*hostPath*/)
{
    return false;
}

inline DWORD PlannedWriteLength(const std::string& /*hostPath*/, DWORD length)
{
    return length;
}

#endif

} // namespace win32posix

#endif
