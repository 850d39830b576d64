/*
 * The client core's exported interface: the two entry points a host process
 * calls after loading QekCore.dll (libqekcore.so on Linux).
 *
 * Both are exported by name, undecorated, with the C calling convention
 * (cdecl). A host that loads the library at run time looks them up by these
 * names and calls them through the pointer types below.
 */
#ifndef QEKCORE_H
#define QEKCORE_H

#include <stdint.h>

#ifdef _WIN32
#ifdef QEKCORE_BUILDING
#define QEK_API __declspec(dllexport)
#else
#define QEK_API __declspec(dllimport)
#endif
#define QEK_CALL __cdecl
#else
#define QEK_API __attribute__((visibility("default")))
#define QEK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Service status values: 1 while the service runs; any other value is the
 * code of the failure that stopped the last start (0: the task server could
 * not be opened; -300000: the helper library Pelkit.dll is missing or lacks a
 * required entry point; 110012: a standard exception ended the start; or a
 * code raised by the start-up). */
#define QEK_STATUS_RUNNING 1

/* Starts the service: creates the log, binds the helper library, opens the
 * task server and registers the task callback. The first two arguments are
 * ignored. `detail` must point to writable storage: when the start fails by an
 * exception it receives the system error code of the failure, and it is left
 * untouched otherwise. Returns the service status: 1 when the service runs
 * (also when it was running already), else the failure's code. */
QEK_API int32_t QEK_CALL QEK_StartService(uint32_t reserved1, uint32_t reserved2, int32_t* detail);

/* Stops a running service: releases the helper library, writes the closing
 * lines and closes the log. Tasks that arrive afterwards are refused. A stop
 * when the service is not running does nothing. Always returns 1. */
QEK_API int32_t QEK_CALL QEK_StopService(void);

typedef int32_t(QEK_CALL* QEK_StartServiceProc)(uint32_t, uint32_t, int32_t*);
typedef int32_t(QEK_CALL* QEK_StopServiceProc)(void);

#ifdef __cplusplus
}
#endif

#endif /* QEKCORE_H */
