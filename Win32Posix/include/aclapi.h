/*
 * aclapi.h for POSIX hosts: GetSecurityInfo, for the owner of an open file or
 * folder only. The types it takes (SID, PSID, PSECURITY_DESCRIPTOR,
 * SECURITY_INFORMATION) come from windows.h, SE_OBJECT_TYPE from accctrl.h,
 * as with the Windows SDK.
 */
#ifndef QEL_WIN32POSIX_ACLAPI_H
#define QEL_WIN32POSIX_ACLAPI_H

#include <windows.h>
#include <accctrl.h>

#ifdef __cplusplus
extern "C" {
#endif

/* hHandle: a file handle opened with READ_CONTROL (or a generic right that
 * includes it), else ERROR_ACCESS_DENIED. ObjectType: SE_FILE_OBJECT.
 * SecurityInfo: OWNER_SECURITY_INFORMATION alone, else ERROR_NOT_SUPPORTED.
 * On success (ERROR_SUCCESS) *ppSecurityDescriptor is a self-relative
 * descriptor to be freed with LocalFree, and *ppsidOwner points into it; the
 * other outputs are set to NULL. Returns the error code. */
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                             PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

#ifdef __cplusplus
}
#endif

#endif /* QEL_WIN32POSIX_ACLAPI_H */
