// Windows file attributes of host entries: read-only from the mode bits,
// hidden and system from an extended attribute, directory and reparse point
// from the entry's type.
#ifndef QEL_WIN32POSIX_ATTRIBUTES_H
#define QEL_WIN32POSIX_ATTRIBUTES_H

#include <windows.h>

#include <functional>
#include <string>
#include <sys/stat.h>

namespace win32posix {

// The attributes kept in the extended attribute (hidden, system).
inline constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Read-only as Windows sees a host entry: the owner write bit is clear.
inline bool IsReadOnlyMode(mode_t mode)
{
    return (mode & S_IWUSR) == 0;
}

// The attributes of the entry at `hostPath`, whose lstat is `linkStat`. A
// symbolic link reports FILE_ATTRIBUTE_REPARSE_POINT (with
// FILE_ATTRIBUTE_DIRECTORY when its target is a directory) and is not
// followed otherwise; a plain file with no other bit reports
// FILE_ATTRIBUTE_NORMAL alone.
DWORD AttributesOf(const std::string& hostPath, const struct stat& linkStat);

// Hidden and system bits stored for the entry (0 where the file system keeps
// no extended attributes).
DWORD StoredAttributes(const std::string& hostPath);
DWORD StoredAttributesOfFd(int fd);

// Stores the hidden and system bits of `attributes` (other bits ignored);
// silently does nothing where the file system keeps no extended attributes.
// Returns ERROR_SUCCESS or the mapped error of another failure.
DWORD StoreAttributes(const std::string& hostPath, DWORD attributes);
DWORD StoreAttributesOfFd(int fd, DWORD attributes);

// Applies a SetFileAttributesA request to an existing entry (not following a
// final symbolic link for the stored bits; the read-only bit is applied to
// regular files and directories). Returns ERROR_SUCCESS or an error code.
DWORD ApplyAttributes(const std::string& hostPath, DWORD attributes);
// The same for an open file or folder (SetFileInformationByHandle).
DWORD ApplyAttributesOfFd(int fd, DWORD attributes);

// Runs `operation` (a system call returning -1 with errno on failure) that
// creates or removes an entry in `hostFolder`. Windows lets that happen in a
// read-only folder; so when it fails with EACCES because the folder lacks the
// owner write bit (only possible without root), the bit is added for the
// call and taken away again.
int InReadOnlyFolder(const std::string& hostFolder, const std::function<int()>& operation);

} // namespace win32posix

#endif
