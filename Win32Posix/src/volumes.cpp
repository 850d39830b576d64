// Drives and volumes from the layer's drive table (QEL_DRIVES): the logical
// drive strings, each drive's type as the table gives it, free space as
// statvfs reports it for the drive's folder, and a Windows directory of
// "L:\Windows" on the system drive (QEL_SYSTEM_DRIVE). Not emulated: volume
// names, serial numbers and file-system names, per-user quotas beyond what
// statvfs's f_bavail tells, and the existence of the Windows directory itself.
#include "environment.h"
#include "errors.h"
#include "path.h"
#include "resolve.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

using win32posix::Fail;

constexpr size_t kRootStringBytes = 4; // "C:\" and its terminator

bool IsDirectory(const std::string& hostPath)
{
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CurrentHostFolder()
{
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string("/");
}

// The current folder as the layer names it ("T:\dir" or "\host\dir").
std::string CurrentWindowsFolder()
{
    return win32posix::WindowsPathFromHost(CurrentHostFolder());
}

UINT TypeOfDriveLetter(char letter)
{
    const auto drive = win32posix::FindDrive(letter);
    return drive ? drive->type : DRIVE_NO_ROOT_DIR;
}

bool IsBareRoot(const win32posix::WindowsPath& parsed)
{
    return (parsed.kind == win32posix::PathKind::DriveAbsolute || parsed.kind == win32posix::PathKind::DriveRelative) &&
           parsed.components.empty();
}

} // namespace

extern "C" DWORD WINAPI GetLogicalDriveStringsA(DWORD nBufferLength, LPSTR lpBuffer)
{
    const auto drives = win32posix::CurrentDrives();
    const DWORD length = static_cast<DWORD>(drives->size() * kRootStringBytes);
    if (lpBuffer == nullptr || nBufferLength < length + 1) {
        return length + 1; // the size needed, final terminator included; nothing written
    }
    char* out = lpBuffer;
    for (const auto& drive : *drives) { // the table is sorted by letter
        *out++ = drive.letter;
        *out++ = ':';
        *out++ = '\\';
        *out++ = '\0';
    }
    *out = '\0';
    return length;
}

// "D:\" (or "d:", "D:\dir\") -> the drive's type; a folder that does not
// exist, or a letter with no drive, -> DRIVE_NO_ROOT_DIR. NULL stands for the
// current folder; folders outside every drive count as a fixed disk.
extern "C" UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName)
{
    const std::string path = lpRootPathName != nullptr ? lpRootPathName : CurrentWindowsFolder();
    win32posix::WindowsPath parsed;
    if (win32posix::ParseWindowsPath(path, parsed) != ERROR_SUCCESS) {
        return DRIVE_NO_ROOT_DIR;
    }
    if (IsBareRoot(parsed)) {
        return TypeOfDriveLetter(parsed.drive);
    }
    win32posix::ResolvedPath resolved;
    if (win32posix::ResolveExisting(path, resolved) != ERROR_SUCCESS || !IsDirectory(resolved.access)) {
        return DRIVE_NO_ROOT_DIR;
    }
    return parsed.drive != 0 ? TypeOfDriveLetter(parsed.drive) : UINT(DRIVE_FIXED);
}

// Any folder of a drive gives the figures of the volume that holds it.
extern "C" BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes)
{
    const std::string path = lpDirectoryName != nullptr ? lpDirectoryName : CurrentWindowsFolder();
    win32posix::ResolvedPath resolved;
    if (const DWORD error = win32posix::ResolveExisting(path, resolved); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (!IsDirectory(resolved.access)) {
        return Fail(ERROR_DIRECTORY);
    }
    struct statvfs volume;
    if (statvfs(resolved.access.c_str(), &volume) != 0) {
        win32posix::SetLastErrorFromErrno();
        return FALSE;
    }
    const ULONGLONG unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    if (lpFreeBytesAvailableToCaller != nullptr) {
        lpFreeBytesAvailableToCaller->QuadPart = ULONGLONG(volume.f_bavail) * unit;
    }
    if (lpTotalNumberOfBytes != nullptr) {
        lpTotalNumberOfBytes->QuadPart = ULONGLONG(volume.f_blocks) * unit;
    }
    // The volume's free bytes are those a program can use: a POSIX volume's
    // blocks kept for the superuser (f_bfree - f_bavail) are no free space to
    // a Windows program. Without quotas Windows reports the same figure for
    // both, and so does Wine.
    if (lpTotalNumberOfFreeBytes != nullptr) {
        lpTotalNumberOfFreeBytes->QuadPart = ULONGLONG(volume.f_bavail) * unit;
    }
    return TRUE;
}

// Windows' buffer contract: the length without the terminator when it fits,
// else the size needed with the terminator, and the buffer left alone.
extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    const std::string directory = std::string(1, win32posix::SystemDriveLetter()) + ":\\Windows";
    const UINT length = static_cast<UINT>(directory.size());
    if (lpBuffer == nullptr || uSize < length + 1) {
        return length + 1;
    }
    memcpy(lpBuffer, directory.c_str(), length + 1);
    return length;
}
