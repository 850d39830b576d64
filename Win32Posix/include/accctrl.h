/*
 * accctrl.h for POSIX hosts: the kinds of object whose security the
 * GetSecurityInfo of aclapi.h reads. Only files are supported.
 */
#ifndef QEL_WIN32POSIX_ACCCTRL_H
#define QEL_WIN32POSIX_ACCCTRL_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum _SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT } SE_OBJECT_TYPE;

#ifdef __cplusplus
}
#endif

#endif /* QEL_WIN32POSIX_ACCCTRL_H */
