// Emulates GetFileInformationByHandle: the attributes, times, size and link
// count of an open file or directory, and its identity. The host's device
// number stands for the volume serial number and the inode number for the
// file index, so two handles name the same entry exactly when both agree, as
// on Windows, whatever path, symbolic link or drive mapping each was opened by.
#include "attributes.h"
#include "errors.h"
#include "fault_plan.h"
#include "handles.h"

#include <sys/stat.h>

#include <cerrno>

namespace win32posix {
namespace {

// The attributes of an open entry, as GetFileAttributesA gives them for its
// path: a link opened by itself (FILE_FLAG_OPEN_REPARSE_POINT) is a reparse
// point, any other handle names the link's target.
DWORD AttributesOfOpen(const OpenFile& file, const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        return AttributesOf(file.hostPath(), st);
    const int fd = file.fd();
    DWORD attributes = StoredAttributesOfFd(fd);
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnlyMode(st.st_mode))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

} // namespace
} // namespace win32posix

using namespace win32posix;

extern "C" BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    if (!lpFileInformation)
        return Fail(ERROR_INVALID_PARAMETER);
    if (PlannedFault(file->hostPath()))
        return Fail(ErrorFromErrno(errno));
    struct stat st;
    if (fstat(file->fd(), &st) != 0)
        return Fail(ErrorFromErrno(errno));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileTime(hFile, &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime))
        return FALSE;
    info.dwFileAttributes = AttributesOfOpen(*file, st);
    info.dwVolumeSerialNumber = DWORD(uint64_t(st.st_dev) ^ (uint64_t(st.st_dev) >> 32));
    const uint64_t size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
    info.nFileSizeHigh = DWORD(size >> 32);
    info.nFileSizeLow = DWORD(size);
    // A host directory counts its subdirectories' ".." entries; Windows gives 1.
    info.nNumberOfLinks = S_ISDIR(st.st_mode) ? 1 : DWORD(st.st_nlink);
    info.nFileIndexHigh = DWORD(uint64_t(st.st_ino) >> 32);
    info.nFileIndexLow = DWORD(uint64_t(st.st_ino));
    *lpFileInformation = info;
    return TRUE;
}
