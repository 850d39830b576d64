/*
 * shlobj.h for POSIX hosts: only SHCreateDirectoryExA, which creates a
 * directory with every missing parent and returns an error code (not a BOOL).
 */
#ifndef QEL_WIN32POSIX_SHLOBJ_H
#define QEL_WIN32POSIX_SHLOBJ_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ERROR_SUCCESS, ERROR_ALREADY_EXISTS / ERROR_FILE_EXISTS when the path is
 * there already, ERROR_BAD_PATHNAME for a relative path, or the error of the
 * failed creation. */
int WINAPI SHCreateDirectoryExA(HWND hwnd, LPCSTR pszPath, const SECURITY_ATTRIBUTES* psa);

#ifdef __cplusplus
}
#endif

#endif /* QEL_WIN32POSIX_SHLOBJ_H */
