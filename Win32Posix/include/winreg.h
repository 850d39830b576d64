/*
 * winreg.h for POSIX hosts: read-only queries of the registry, which the layer
 * loads from a .reg file (REGEDIT4 or "Windows Registry Editor Version 5.00",
 * string and dword values). Nothing can be written.
 */
#ifndef QEL_WIN32POSIX_WINREG_H
#define QEL_WIN32POSIX_WINREG_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)

#define KEY_QUERY_VALUE 0x0001
#define KEY_READ 0x20019

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);
LSTATUS WINAPI RegCloseKey(HKEY hKey);

#ifdef __cplusplus
}
#endif

#endif /* QEL_WIN32POSIX_WINREG_H */
