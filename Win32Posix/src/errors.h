// The layer's error reporting: the thread's last error and the one mapping
// from errno values to Windows ERROR_* codes.
#ifndef QEL_WIN32POSIX_ERRORS_H
#define QEL_WIN32POSIX_ERRORS_H

#include <windows.h>

namespace win32posix {

// The Windows error code for an errno value (ERROR_ACCESS_DENIED for EACCES,
// ERROR_FILE_NOT_FOUND for ENOENT, ...). Unknown values and 0 give
// ERROR_GEN_FAILURE: never 0 (ERROR_SUCCESS) and never 1, the value of
// success in the core's results, so that a failure stays a failure.
DWORD ErrorFromErrno(int err);

// Sets the thread's last error to ErrorFromErrno(err) and returns that code.
DWORD SetLastErrorFromErrno(int err);

// Sets the thread's last error to ErrorFromErrno(errno) and returns that code.
DWORD SetLastErrorFromErrno();

// Sets the thread's last error and returns FALSE: `return Fail(ERROR_X);`.
BOOL Fail(DWORD error);

} // namespace win32posix

#endif
