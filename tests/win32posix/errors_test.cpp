// The layer's one mapping from errno values to Windows error codes: each
// known value to its code, and everything else to a code that can never be
// read as success (neither 0 nor the core's success value 1).
#include "errors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace win32posix {
namespace {

struct Mapping {
    int err;
    DWORD code;
};

constexpr Mapping kMappings[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT},
    {EIO, ERROR_IO_DEVICE},
    {EBADF, ERROR_INVALID_HANDLE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EBUSY, ERROR_BUSY},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EPIPE, ERROR_BROKEN_PIPE},
    {EFAULT, ERROR_NOACCESS},
    {ENODEV, ERROR_INVALID_DRIVE},
    {ENXIO, ERROR_INVALID_DRIVE},
    {EAGAIN, ERROR_LOCK_VIOLATION},
    {ENOEXEC, ERROR_BAD_EXE_FORMAT},
};

TEST(ErrorFromErrno, EachKnownValueHasItsCode)
{
    for (const Mapping& mapping : kMappings)
        EXPECT_EQ(ErrorFromErrno(mapping.err), mapping.code) << "errno " << mapping.err;
}

TEST(ErrorFromErrno, NoValueReadsAsSuccess)
{
    // Every errno Linux has, 0 and values past them: never 0, never 1.
    for (int err = 0; err < 200; ++err) {
        const DWORD code = ErrorFromErrno(err);
        EXPECT_NE(code, static_cast<DWORD>(ERROR_SUCCESS)) << "errno " << err;
        EXPECT_NE(code, 1u) << "errno " << err;
    }
    EXPECT_EQ(ErrorFromErrno(0), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(ErrorFromErrno(EHOSTDOWN), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST(ErrorFromErrno, SetsTheThreadsLastError)
{
    SetLastError(ERROR_SUCCESS);
    errno = EIO;
    EXPECT_EQ(SetLastErrorFromErrno(), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
}

} // namespace
} // namespace win32posix
