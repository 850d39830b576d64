// Emulates GetFileInformationByHandle: the attributes, times, size and link
// count of an open file or directory, and its identity. The host's device
// number stands for the volume serial number and the inode number for the
// file index, so two handles name the same entry exactly when both agree, as
// on Windows, whatever path, symbolic link or drive mapping each was opened by.
#include "attributes.h"
#include "errors.h"
#include "fault_plan.h"
#include "handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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

namespace win32posix {
namespace {

// Removes the entry an open file names, as itself, through the folder it was
// found in: a link goes as a link, a folder only when it is empty. The name
// must still be that entry's: the layer cannot remove an entry that has moved
// away, as Windows would.
DWORD RemoveOpenEntry(const OpenFile& file)
{
    if (!file.parentFolder.IsValid() || file.nameInFolder.empty())
        return ERROR_ACCESS_DENIED;
    struct stat now;
    if (fstatat(file.parentFolder.Get(), file.nameInFolder.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return ErrorFromErrno(errno);
    if (FileId{uint64_t(now.st_dev), uint64_t(now.st_ino)} != file.id())
        return ERROR_ACCESS_DENIED;
    const bool folder = S_ISDIR(now.st_mode);
    if (!folder && !S_ISLNK(now.st_mode) && IsReadOnlyMode(now.st_mode))
        return ERROR_ACCESS_DENIED; // a read-only file is not removed
    if (ProcessShareTable().IsMapped(file.id()))
        return ERROR_ACCESS_DENIED;
    const std::string folderPath = "/proc/self/fd/" + std::to_string(file.parentFolder.Get());
    const int removed = InReadOnlyFolder(folderPath, [&] {
        return unlinkat(file.parentFolder.Get(), file.nameInFolder.c_str(), folder ? AT_REMOVEDIR : 0);
    });
    return removed == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
}

bool IsZero(const LARGE_INTEGER& time)
{
    return time.QuadPart == 0;
}

} // namespace
} // namespace win32posix

extern "C" BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                                  LPVOID lpFileInformation, DWORD dwBufferSize)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    if (!lpFileInformation)
        return Fail(ERROR_INVALID_PARAMETER);
    switch (FileInformationClass) {
    case FileDispositionInfo: {
        if (dwBufferSize < sizeof(FILE_DISPOSITION_INFO))
            return Fail(ERROR_BAD_LENGTH);
        if (!(file->shareAccess() & kShareAccessDelete))
            return Fail(ERROR_ACCESS_DENIED);
        if (!static_cast<const FILE_DISPOSITION_INFO*>(lpFileInformation)->DeleteFile)
            return TRUE; // nothing is pending in this layer: a removal happens at once
        if (PlannedFault(file->hostPath()))
            return Fail(ErrorFromErrno(errno));
        PlannedAction(file->hostPath(), EntryChange::Removal);
        if (DWORD error = RemoveOpenEntry(*file); error != ERROR_SUCCESS)
            return Fail(error);
        return TRUE;
    }
    case FileBasicInfo: {
        if (dwBufferSize < sizeof(FILE_BASIC_INFO))
            return Fail(ERROR_BAD_LENGTH);
        const auto& basic = *static_cast<const FILE_BASIC_INFO*>(lpFileInformation);
        if (!file->writeAttributes)
            return Fail(ERROR_ACCESS_DENIED);
        if (!IsZero(basic.CreationTime) || !IsZero(basic.LastAccessTime) || !IsZero(basic.LastWriteTime) ||
            !IsZero(basic.ChangeTime))
            return Fail(ERROR_INVALID_PARAMETER); // a layer limit: times are set with SetFileTime
        if (PlannedFault(file->hostPath()))
            return Fail(ErrorFromErrno(errno));
        if (basic.FileAttributes == 0)
            return TRUE;
        if (DWORD error = ApplyAttributesOfFd(file->fd(), basic.FileAttributes); error != ERROR_SUCCESS)
            return Fail(error);
        return TRUE;
    }
    }
    return Fail(ERROR_INVALID_PARAMETER);
}
