// From Windows paths to host paths: the drive map, case-insensitive lookup of
// every component, and the Windows error codes for missing parts.
#ifndef QEL_WIN32POSIX_RESOLVE_H
#define QEL_WIN32POSIX_RESOLVE_H

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

namespace win32posix {

class OpenFile;

struct ResolvedPath {
    std::string host; // host path; components as found on disk
    // The host path to give the system calls: below a folder the process
    // holds (held_folders.h), through that folder's descriptor
    // ("/proc/self/fd/N/name"), so that it reaches the folder that was opened
    // whatever has been renamed since; else `host`. `anchor` keeps that
    // descriptor open while the path is in use.
    std::string access;
    std::shared_ptr<const OpenFile> anchor;
    bool exists = false;            // the last component exists (lstat succeeded)
    bool isRoot = false;            // the path names a drive root or the host root
    bool trailingSeparator = false; // the Windows path ended with '\'
    std::string lastName;           // the last component in the code page, as found on disk (as given when missing)
    // The last component is missing because it holds bytes that the code page
    // does not define: no host name stands for it (`host` is empty), so it
    // can be neither found nor created.
    bool unrepresentable = false;
};

// Resolves a Windows path, in the process's code page, to a host path (UTF-8).
// Every component is looked up exactly first and, when absent, by a
// case-insensitive scan of its folder in the code page (ASCII letters fold,
// double-byte characters do not; first match in directory order; a host name
// the code page cannot represent never matches). Intermediate components must exist and be
// directories (symbolic links to directories are followed); the last one may
// be missing (then `exists` is false and `host` ends with the name as given).
// Returns ERROR_SUCCESS, or: ERROR_PATH_NOT_FOUND (unmapped drive, missing or
// non-directory intermediate component, empty or unsupported path),
// ERROR_INVALID_NAME (forbidden characters), ERROR_BAD_ENVIRONMENT (QEL_CODEPAGE
// names no supported code page), or the errno-mapped error of a
// failed lookup (e.g. ERROR_ACCESS_DENIED); ERROR_INVALID_NAME also when an
// existing non-directory is named with a trailing separator ("file.txt\").
DWORD ResolvePath(std::string_view windowsPath, ResolvedPath& out);

// ResolvePath, then requires the last component to exist: a missing last
// component gives ERROR_FILE_NOT_FOUND.
DWORD ResolveExisting(std::string_view windowsPath, ResolvedPath& out);

// When `path` names a folder that the process holds itself (not only one on
// its way), reaches it through that folder's descriptor: what is listed in it
// is what was opened. A listing needs this; an entry is otherwise reached by
// its own name in the folder that holds it.
void ThroughHeldFolder(ResolvedPath& path);

// Looks one name, in the process's code page, up in a host folder: its host
// (UTF-8) form exactly first, then case-insensitively in the code page.
// Returns true and sets `found` to the host name as on disk when present;
// else false with errno ENOENT (also for a name that cannot be converted) or
// the error of the folder's reading.
bool LookupName(const std::string& hostFolder, const std::string& name, std::string& found);

// The host path of `name` in `folder` ("/" + "a" -> "/a", "/x" + "a" -> "/x/a").
std::string JoinHost(const std::string& folder, const std::string& name);

// The host folder that holds a host path ("/a/b" -> "/a", "/a" -> "/").
std::string HostParent(const std::string& hostPath);

// Converts a host path to the Windows form the layer hands out for it, in the
// process's code page ('?' for a character it cannot represent): the drive
// form ("C:\dir\file") when it lies under a mapped drive's folder, else the
// host-absolute form ("\opt\x").
std::string WindowsPathFromHost(const std::string& hostPath);

} // namespace win32posix

#endif
