// Emulates the Win32 directory calls the core makes: CreateDirectoryA,
// RemoveDirectoryA (a read-only or non-empty directory is refused, a link to a
// directory is removed by itself, never its target's content) and the shell's
// SHCreateDirectoryExA with every missing parent. It does not emulate security
// descriptors, template directories or shell change notifications, and hwnd
// is never used to show a message.
#include "attributes.h"
#include "errors.h"
#include "fault_plan.h"
#include "handles.h"
#include "path.h"
#include "resolve.h"

#include <shlobj.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace win32posix {
namespace {

DWORD CreateOneDirectory(const char* name)
{
    if (!name || !*name)
        return ERROR_PATH_NOT_FOUND;
    ResolvedPath path;
    if (DWORD error = ResolvePath(name, path); error != ERROR_SUCCESS)
        return error;
    if (path.exists)
        return ERROR_ALREADY_EXISTS;
    if (path.unrepresentable)
        return ERROR_INVALID_NAME; // no host name stands for it
    if (PlannedFault(path.host))
        return ErrorFromErrno(errno);
    PlannedAction(path.host, EntryChange::Creation);
    if (InReadOnlyFolder(HostParent(path.access), [&] { return mkdir(path.access.c_str(), 0777); }) != 0)
        return errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD RemoveOneDirectory(const char* name)
{
    if (!name || !*name)
        return ERROR_PATH_NOT_FOUND;
    ResolvedPath path;
    if (DWORD error = ResolveExisting(name, path); error != ERROR_SUCCESS)
        return error;
    if (path.isRoot)
        return ERROR_ACCESS_DENIED;
    if (PlannedFault(path.host))
        return ErrorFromErrno(errno);
    struct stat entry;
    if (lstat(path.access.c_str(), &entry) != 0)
        return ErrorFromErrno(errno);
    std::string folder = HostParent(path.access);
    PlannedAction(path.host, EntryChange::Removal);
    if (S_ISLNK(entry.st_mode)) {
        struct stat target;
        bool toFile = stat(path.access.c_str(), &target) == 0 && !S_ISDIR(target.st_mode);
        if (toFile)
            return ERROR_DIRECTORY;
        if (InReadOnlyFolder(folder, [&] { return unlink(path.access.c_str()); }) != 0)
            return ErrorFromErrno(errno);
        return ERROR_SUCCESS;
    }
    if (!S_ISDIR(entry.st_mode))
        return ERROR_DIRECTORY;
    if (IsReadOnlyMode(entry.st_mode))
        return ERROR_ACCESS_DENIED;
    FileId id{uint64_t(entry.st_dev), uint64_t(entry.st_ino)};
    if (ProcessShareTable().CheckDelete(id) != DeleteCheck::Allowed)
        return ERROR_SHARING_VIOLATION;
    if (InReadOnlyFolder(folder, [&] { return rmdir(path.access.c_str()); }) != 0)
        return (errno == ENOTEMPTY || errno == EEXIST) ? ERROR_DIR_NOT_EMPTY : ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

bool IsRelativeForShell(const char* path)
{
    bool rooted = path[0] == '\\' || path[0] == '/';
    bool withDrive = path[0] != '\0' && path[1] == ':';
    return !rooted && !withDrive;
}

// "C:\a", "C:\a\b", ... up to the whole path: every folder from the top.
std::vector<std::string> PrefixesOf(const WindowsPath& parsed)
{
    std::string prefix;
    if (parsed.kind == PathKind::DriveAbsolute || parsed.kind == PathKind::DriveRelative) {
        prefix = std::string(1, parsed.drive) + ":";
    }
    std::vector<std::string> prefixes;
    for (const std::string& name : parsed.components) {
        prefix += "\\" + name;
        prefixes.push_back(prefix);
    }
    return prefixes;
}

} // namespace
} // namespace win32posix

using namespace win32posix;

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    DWORD error = CreateOneDirectory(lpPathName);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

extern "C" BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName)
{
    DWORD error = RemoveOneDirectory(lpPathName);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

extern "C" int WINAPI SHCreateDirectoryExA(HWND, LPCSTR pszPath, const SECURITY_ATTRIBUTES*)
{
    if (!pszPath || IsRelativeForShell(pszPath)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return ERROR_BAD_PATHNAME;
    }
    DWORD result = CreateOneDirectory(pszPath);
    bool retry = result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS &&
                 result != ERROR_FILENAME_EXCED_RANGE;
    WindowsPath parsed;
    if (retry && ParseWindowsPath(pszPath, parsed) == ERROR_SUCCESS) {
        // Create each folder from the top; the outcome is that of the last one,
        // the whole path.
        for (const std::string& prefix : PrefixesOf(parsed))
            result = CreateOneDirectory(prefix.c_str());
    }
    SetLastError(result);
    return int(result);
}
