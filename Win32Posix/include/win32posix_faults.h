/*
 * A test seam of the POSIX layer (not a Win32 call): makes the layer's
 * file-system calls fail on purpose, so that tests can show that every
 * failure in the middle of a task is seen and reported, never taken for
 * success. Only tests call it; with no plan set the layer behaves as usual.
 *
 * Calls counted: every Win32 file-system call the layer makes on a path or
 * handle below `hostFolder` (opening, reading, writing, cutting, setting
 * times and attributes, flushing, deleting, copying, creating and removing
 * folders, listing, mapping, querying a file). The plan fails the
 * `failCall`-th of them (1 is the first) with `error` (an errno value, which
 * the call reports as its Windows error code); with `shortWrite` it counts
 * writes only and makes the `failCall`-th write move half its bytes and
 * report that count as a success, as a short write does on Windows.
 */
#ifndef QEL_WIN32POSIX_FAULTS_H
#define QEL_WIN32POSIX_FAULTS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Win32PosixFaultPlan {
    const char* hostFolder; /* absolute host path; calls below it are counted */
    long failCall;          /* 1-based; 0: only count */
    int error;              /* errno of the failure */
    int shortWrite;         /* nonzero: the failCall-th write is cut short instead */
} Win32PosixFaultPlan;

/* Sets the plan (copied) and restarts the count; null removes it. */
void Win32PosixSetFaultPlan(const Win32PosixFaultPlan* plan);

/*
 * An action instead of a fault: the test's `action` runs just before the
 * `atCall`-th creation or removal below `hostFolder` is made, with the host
 * path of the entry that is about to be created or removed (it was resolved
 * already: what the action changes is what a check-then-use race changes).
 * Creations: a file made by CreateFileA or CopyFileA, a folder by
 * CreateDirectoryA. Removals: DeleteFileA, RemoveDirectoryA, and an entry
 * removed through its handle (SetFileInformationByHandle).
 */
#define WIN32POSIX_CREATIONS 1
#define WIN32POSIX_REMOVALS 2

typedef void (*Win32PosixAction)(const char* hostPath, void* context);

typedef struct Win32PosixActionPlan {
    const char* hostFolder; /* absolute host path; entries below it are counted */
    long atCall;            /* 1-based; 0: only count */
    int kinds;              /* WIN32POSIX_CREATIONS and/or WIN32POSIX_REMOVALS */
    Win32PosixAction action;
    void* context;
} Win32PosixActionPlan;

/* Sets the action plan (copied) and restarts its count; null removes it. */
void Win32PosixSetActionPlan(const Win32PosixActionPlan* plan);
/* Creations and removals counted since the action plan was set. */
long Win32PosixActionCalls(void);
/* Calls counted since the plan was set. */
long Win32PosixFaultCalls(void);
/* Whether the planned fault has happened. */
int Win32PosixFaultHappened(void);

#ifdef __cplusplus
}
#endif

#endif
