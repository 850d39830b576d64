// Emulates the thread's last error (GetLastError/SetLastError) and holds the
// layer's one mapping from errno values to Windows ERROR_* codes. It does not
// emulate NTSTATUS codes or FormatMessage.
#include "errors.h"

#include <cerrno>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void)
{
    return lastError;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

namespace win32posix {

DWORD ErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EIO:
        return ERROR_IO_DEVICE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_DISK_FULL;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
        return ERROR_BUSY;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EFAULT:
        return ERROR_NOACCESS;
    case ENODEV:
    case ENXIO:
        return ERROR_INVALID_DRIVE;
    case EAGAIN:
        return ERROR_LOCK_VIOLATION;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    // Not ERROR_INVALID_FUNCTION: its value 1 is what the core reads as
    // success, so an unknown failure could pass for a written file.
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD SetLastErrorFromErrno(int err)
{
    DWORD code = ErrorFromErrno(err);
    SetLastError(code);
    return code;
}

DWORD SetLastErrorFromErrno()
{
    return SetLastErrorFromErrno(errno);
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace win32posix
